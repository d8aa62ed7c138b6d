import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.http.LogLines;
import com.tarvex.pelk.quentrel.http.NegotiateClient;
import com.tarvex.pelk.quentrel.http.RequestScopes;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;

/**
 * The second hop as an application writes it: a server context accepts a client's token, then a
 * request to a back end goes out through NegotiateClient, inside the client's impersonation or
 * not. The domain's delegation test calls it through JNI with the client's first token.
 */
public final class SecondHop {
  private SecondHop() {}

  // A scope a handler left open, context and all: the next request on the thread must not be hers.
  static ServerContext leaked;

  /**
   * The second hop of the request after one whose handler left the client's scope open on this
   * thread: a server flavour ends the leftover scope first, so the back end sees the service.
   */
  public static String afterLeak(String packageName, byte[] token, String url) {
    HttpClient http = HttpClient.newHttpClient();
    HttpRequest request = HttpRequest.newBuilder(URI.create(url)).build();
    try {
      leaked = ServerContext.open(packageName);
      leaked.accept(token);
      leaked.impersonate();  // never closed
      RequestScopes.end(new LogLines(System.getLogger(SecondHop.class.getName()), 10), "before the next request");
      HttpResponse<String> answer = NegotiateClient.send(http, request, HttpResponse.BodyHandlers.ofString());
      return answer.statusCode() + " " + answer.body();
    } catch (Exception e) {
      return e.getClass().getSimpleName() + ": " + e.getMessage();
    } finally {
      if (leaked != null) {
        leaked.close();
      }
    }
  }

  /** "STATUS BODY" of the back end's answer, or the exception's class and message. */
  @SuppressWarnings("try")  // the scope is the point, not its variable
  public static String get(String packageName, byte[] token, String url, boolean impersonate) {
    // The client's threads are the process's: made before any thread acts as somebody else.
    HttpClient http = HttpClient.newHttpClient();
    HttpRequest request = HttpRequest.newBuilder(URI.create(url)).build();
    try (ServerContext server = ServerContext.open(packageName)) {
      server.accept(token);
      HttpResponse<String> answer;
      if (impersonate) {
        try (var as = server.impersonate()) {
          answer = NegotiateClient.send(http, request, HttpResponse.BodyHandlers.ofString());
        }
      } else {
        answer = NegotiateClient.send(http, request, HttpResponse.BodyHandlers.ofString());
      }
      return answer.statusCode() + " " + answer.body();
    } catch (Exception e) {
      return e.getClass().getSimpleName() + ": " + e.getMessage();
    }
  }
}
