import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.nio.charset.StandardCharsets;

/**
 * A client authenticates to a server through "Negotiate" in one JVM, each side protects a
 * message for the other, and a message with one byte changed is refused.
 */
public final class ExchangeDemo {
  private static final int ISC_REQ_CONFIDENTIALITY = 0x10;

  private ExchangeDemo() {}

  public static void main(String[] args) throws WinAuthException {
    int server = SSPI.CreateContext(false, 0, "Negotiate", null);
    int client = SSPI.CreateContext(true, ISC_REQ_CONFIDENTIALITY, "Negotiate", "HTTP/web.example.test");
    int tokens = 1;
    byte[] toServer = SSPI.GetChallengeToken(client);
    boolean clientDone = false;
    while (!SSPI.Accept(server, toServer)) {
      clientDone = SSPI.Initialize(client, SSPI.GetChallengeToken(server));
      toServer = SSPI.GetChallengeToken(client);
      tokens += 2;
    }
    System.out.println("authenticated with " + tokens + " tokens, client done: " + clientDone);

    byte[] fromClient = SSPI.Wrap(client, "hello server".getBytes(StandardCharsets.UTF_8));
    System.out.println("client -> server: " + new String(SSPI.Unwrap(server, fromClient), StandardCharsets.UTF_8));
    byte[] fromServer = SSPI.Wrap(server, "hello client".getBytes(StandardCharsets.UTF_8));
    System.out.println("server -> client: " + new String(SSPI.Unwrap(client, fromServer), StandardCharsets.UTF_8));

    fromClient[fromClient.length - 1] ^= 1;
    try {
      SSPI.Unwrap(server, fromClient);
      System.out.println("altered message: accepted");
    } catch (WinAuthException expected) {
      System.out.println("altered message: " + expected.getMessage());
    }
    SSPI.FreeHandle(client);
    SSPI.FreeHandle(server);
  }
}
