package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.ClientContext;
import com.tarvex.pelk.quentrel.Extensions;
import com.tarvex.pelk.quentrel.PlatformStatus;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.io.IOException;
import java.lang.System.Logger.Level;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.util.Base64;
import java.util.List;
import java.util.Locale;

/**
 * The client side of HTTP Negotiate, as the identity the process runs as.
 *
 * <pre>{@code
 * HttpResponse<String> answer = NegotiateClient.send(HttpClient.newHttpClient(),
 *     HttpRequest.newBuilder(URI.create("http://web.example.com/")).build(), BodyHandlers.ofString());
 * }</pre>
 *
 * <p>By default the client asks for mutual authentication, and a successful response whose
 * server did not prove itself is refused. Kerberos takes one leg; an exchange of more than one
 * (NTLM) must stay on one connection, which an {@link HttpClient} keeps when its requests follow
 * one another: exchanges of such a package that run at the same time need an HttpClient each.
 *
 * <p>Over HTTPS the client binds its tokens to the TLS channel (the {@code tls-server-end-point}
 * bindings of the certificate the server showed), so that a server that checks channel bindings
 * takes them and a relaying server cannot use them elsewhere. It learns the certificate from a
 * first request without credentials, as browsers do.
 */
public final class NegotiateClient implements AutoCloseable {
  // More legs than any real package takes: a server asking for more has lost its way.
  private static final int MAX_LEGS = 8;
  // SEC_E_NO_CREDENTIALS and SEC_E_DELEGATION_POLICY: what a second hop fails with.
  private static final int NO_CREDENTIALS = 0x8009030e;
  private static final int DELEGATION_POLICY = 0x8009035e;
  // The client's name is in the words, and a client can make request after request fail.
  private static final LogLines LOG = new LogLines(System.getLogger(NegotiateClient.class.getName()), 10);
  private final ClientContext context;
  private byte[] token;
  private boolean complete;

  private NegotiateClient(ClientContext context) throws WinAuthException {
    this.context = context;
    SecurityContext.Step first = context.firstStep();
    token = first.token();
    complete = first.complete();
  }

  /**
   * Starts an exchange with the server of a URI, whose service principal name is "HTTP/host".
   *
   * @param packageName the security package; null for "Negotiate"
   * @param mutual whether the server must prove itself
   */
  public static NegotiateClient start(URI uri, String packageName, boolean mutual) throws NegotiateException {
    return start(packageName, targetOf(uri), mutual ? ClientContext.MUTUAL_AUTH : 0);
  }

  /** Starts an exchange with a target name of the caller's choice and context requirement flags. */
  public static NegotiateClient start(String packageName, String target, int flags) throws NegotiateException {
    return start(packageName, target, flags, null);
  }

  /**
   * Starts an exchange bound to a channel: its tokens carry the channel's bindings, such as
   * {@link ChannelBinding#tlsServerEndPoint} of the certificate the server showed.
   *
   * @param channelBindings the channel's bindings; null for an exchange bound to no channel
   */
  public static NegotiateClient start(String packageName, String target, int flags, byte[] channelBindings)
      throws NegotiateException {
    ClientContext context;
    try {
      context = channelBindings == null ? ClientContext.open(packageName, target, flags)
          : ClientContext.openBound(packageName, target, flags, channelBindings);
    } catch (WinAuthException e) {
      throw new NegotiateException("cannot start Negotiate for " + target + ": " + e.getMessage()
          + secondHopWords(e.getMessage()), e);
    }
    try {
      return new NegotiateClient(context);
    } catch (WinAuthException e) {
      context.close();
      throw new NegotiateException("cannot start Negotiate for " + target + ": " + e.getMessage(), e);
    } catch (RuntimeException e) {
      context.close();
      throw e;
    }
  }

  // A second hop as the client a scope acts as: which of the reasons that stop one applies, where
  // the client's domain tells, else each that the status leaves open. The server's log has it too,
  // for the handler may turn the exception into a plain failure page.
  private static String secondHopWords(String failure) {
    Integer status = PlatformStatus.codeOf(failure);
    if (status == null || (status != NO_CREDENTIALS && status != DELEGATION_POLICY)
        || !ServerContext.Impersonation.inScope()) {
      return "";
    }
    int limits = ServerContext.Impersonation.delegationLimit();
    String cause = ServerContext.Impersonation.secondHopCause(limits);
    String words = cause;
    if (words == null) {
      // Unless the domain said the account may be delegated, its being marked sensitive stays a cause.
      boolean maybeSensitive = (limits & Extensions.ACCOUNT_FLAGS_READ) == 0;
      words = status == NO_CREDENTIALS
          ? "the client delegated nothing this service can use: it forwarded no ticket, as Windows clients under"
              + " Credential Guard do not, " + (maybeSensitive ? "or its account is sensitive and cannot be delegated, " : "")
              + "or this server keeps no delegation (QUENTREL_DELEGATION)"
          : "the domain would not delegate: the target is not among the services this one may delegate to"
              + " (msDS-AllowedToDelegateTo)"
              + (maybeSensitive ? ", or the client's account is sensitive and cannot be delegated" : "");
    }
    LOG.log("second-hop-refused", Level.WARNING, "Negotiate: a second hop as the client failed with {0}: {1}", failure,
        LogLines.words(words));
    return " (" + words + ")";
  }

  /** The service principal name of the server of a URI: "HTTP/" and its host name. */
  public static String targetOf(URI uri) {
    return "HTTP/" + uri.getHost().toLowerCase(Locale.ROOT);
  }

  /** The Authorization header value that carries the client's current token. */
  public String authorization() {
    return NegotiateHeader.SCHEME + " " + Base64.getEncoder().encodeToString(token);
  }

  /** Whether the client's side of the exchange is done. */
  public boolean complete() {
    return complete;
  }

  /**
   * Takes the server's 401 answer and prepares the next token.
   *
   * @param wwwAuthenticate the response's WWW-Authenticate values
   * @throws NegotiateException when the server gave no Negotiate token or the package refuses it
   */
  public void challenge(List<String> wwwAuthenticate) throws NegotiateException {
    byte[] answer = tokenOf(wwwAuthenticate);
    if (answer == null || complete) {
      throw new NegotiateException("the server refused the client's credentials");
    }
    step(answer);
  }

  /**
   * Checks a successful response: when the client is not yet done, the response must carry the
   * server's final token and the package must accept it (the server proved itself).
   *
   * @throws NegotiateException when the server did not prove itself
   */
  public void verify(List<String> wwwAuthenticate) throws NegotiateException {
    if (complete) {
      return;
    }
    byte[] answer = tokenOf(wwwAuthenticate);
    if (answer == null) {
      throw new NegotiateException("the server answered without proving itself (no final Negotiate token)");
    }
    step(answer);
    if (!complete) {
      throw new NegotiateException("the server's final token did not complete the exchange");
    }
  }

  private void step(byte[] answer) throws NegotiateException {
    try {
      SecurityContext.Step next = context.initialize(answer);
      token = next.token();
      complete = next.complete();
    } catch (WinAuthException e) {
      throw new NegotiateException("the server's Negotiate token was refused: " + e.getMessage(), e);
    }
  }

  // The token of a "Negotiate TOKEN" value; null when there is none.
  private static byte[] tokenOf(List<String> values) throws NegotiateException {
    for (String value : values) {
      String encoded = NegotiateHeader.credentials(value);
      if (encoded == null || encoded.isEmpty()) {
        continue;
      }
      try {
        return Base64.getDecoder().decode(encoded);
      } catch (IllegalArgumentException e) {
        throw new NegotiateException("the server's Negotiate token is not base64", e);
      }
    }
    return null;
  }

  /** Releases the client's context. Idempotent. */
  @Override
  public void close() {
    context.close();
  }

  /** {@link #send(HttpClient, HttpRequest, HttpResponse.BodyHandler, String, boolean)} with "Negotiate" and mutual authentication. */
  public static <T> HttpResponse<T> send(HttpClient client, HttpRequest request, HttpResponse.BodyHandler<T> body)
      throws IOException, InterruptedException {
    return send(client, request, body, null, true);
  }

  /**
   * Sends a request with Negotiate authentication: its Authorization header, then each leg the
   * server asks for, then the check of the server's final token.
   *
   * @return the server's response: a successful one whose server proved itself (when mutual), or
   *     any response that is not a Negotiate challenge
   * @throws NegotiateException when the server refuses the client or fails to prove itself
   */
  public static <T> HttpResponse<T> send(HttpClient client, HttpRequest request, HttpResponse.BodyHandler<T> body,
      String packageName, boolean mutual) throws IOException, InterruptedException {
    byte[] bindings = null;
    if ("https".equalsIgnoreCase(request.uri().getScheme())) {
      HttpResponse<T> anonymous = client.send(request, body);
      if (anonymous.statusCode() != 401
          || anonymous.headers().allValues("WWW-Authenticate").stream().noneMatch(NegotiateHeader::isNegotiate)) {
        return anonymous;
      }
      bindings = anonymous.sslSession().map(NegotiateClient::bindingsOf).orElse(null);
    }
    int flags = mutual ? ClientContext.MUTUAL_AUTH : 0;
    try (NegotiateClient negotiate = start(packageName, targetOf(request.uri()), flags, bindings)) {
      for (int leg = 0; leg < MAX_LEGS; leg++) {
        HttpRequest withToken = HttpRequest.newBuilder(request, (name, value) -> !name.equalsIgnoreCase("Authorization"))
            .header("Authorization", negotiate.authorization()).build();
        HttpResponse<T> response = client.send(withToken, body);
        List<String> answer = response.headers().allValues("WWW-Authenticate");
        if (response.statusCode() == 401) {
          if (answer.stream().noneMatch(NegotiateHeader::isNegotiate)) {
            return response;
          }
          negotiate.challenge(answer);
          continue;
        }
        if (response.statusCode() / 100 == 2) {
          negotiate.verify(answer);
        }
        return response;
      }
      throw new NegotiateException("the server asked for more than " + MAX_LEGS + " legs");
    }
  }

  // The bindings of the certificate the server showed on the TLS channel; null when it showed none.
  private static byte[] bindingsOf(javax.net.ssl.SSLSession tls) {
    try {
      java.security.cert.Certificate[] shown = tls.getPeerCertificates();
      return shown.length == 0 ? null : ChannelBinding.tlsServerEndPoint(shown[0]);
    } catch (javax.net.ssl.SSLPeerUnverifiedException | IllegalArgumentException e) {
      return null;
    }
  }
}
