import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.WinAuthException;

/**
 * A server authenticates a client through "Negotiate" in one JVM, then asks who the client is,
 * tests two groups, acts as the client for a moment and prints the start of its context report.
 */
public final class IdentityDemo {
  private IdentityDemo() {}

  public static void main(String[] args) throws WinAuthException {
    int server = SSPI.CreateContext(false, 0, "Negotiate", null);
    int client = SSPI.CreateContext(true, 0, "Negotiate", "HTTP/web.example.test");
    byte[] toServer = SSPI.GetChallengeToken(client);
    while (!SSPI.Accept(server, toServer)) {
      SSPI.Initialize(client, SSPI.GetChallengeToken(server));
      toServer = SSPI.GetChallengeToken(client);
    }
    System.out.println("client: " + SSPI.GetClientUserName(server));
    System.out.println("member of BUILTIN\\Users: " + SSPI.IsGroupMember(server, "BUILTIN\\Users"));
    try {
      System.out.println("member of Everyone: " + SSPI.IsGroupMember(server, "Everyone"));
    } catch (GroupNotFoundException expected) {
      System.out.println("Everyone: " + expected.getClass().getSimpleName() + " \"" + expected.getMessage() + "\"");
    }
    SSPI.StartImpersonating(server);
    SSPI.StopImpersonating(server);
    String[] report = SSPI.GetContextInformation(server).split("\n");
    for (int i = 0; i < 3; i++) {
      System.out.println(report[i]);
    }
    SSPI.FreeHandle(client);
    SSPI.FreeHandle(server);
  }
}
