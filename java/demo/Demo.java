import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.WinAuthException;

/** Creates a server and a client context through the library, shows them and frees them. */
public final class Demo {
  private Demo() {}

  public static void main(String[] args) throws WinAuthException {
    int server = SSPI.CreateContext(false, 0, "Negotiate", null);
    System.out.println("server context: handle " + server);
    int client = SSPI.CreateContext(true, 0, "Negotiate", null);
    System.out.println("client context: handle " + client);
    System.out.println("client's first token: " + SSPI.GetChallengeToken(client).length + " bytes");
    try {
      SSPI.CreateContext(true, 0, "NoSuchPackage", null);
    } catch (WinAuthException expected) {
      System.out.println("package NoSuchPackage: " + expected.getMessage());
    }
    SSPI.FreeHandle(client);
    SSPI.FreeHandle(server);
    try {
      SSPI.GetChallengeToken(client);
    } catch (WinAuthException expected) {
      System.out.println("after FreeHandle: " + expected.getMessage());
    }
  }
}
