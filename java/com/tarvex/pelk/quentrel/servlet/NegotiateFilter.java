package com.tarvex.pelk.quentrel.servlet;

import com.tarvex.pelk.quentrel.http.Admission;
import com.tarvex.pelk.quentrel.http.AnswerPages;
import com.tarvex.pelk.quentrel.http.ChannelBinding;
import com.tarvex.pelk.quentrel.http.Gate;
import com.tarvex.pelk.quentrel.http.NegotiatedUser;
import com.tarvex.pelk.quentrel.http.Negotiator;
import com.tarvex.pelk.quentrel.http.RequestScopes;
import com.tarvex.pelk.quentrel.http.SignOn;
import jakarta.servlet.Filter;
import jakarta.servlet.FilterChain;
import jakarta.servlet.FilterConfig;
import jakarta.servlet.ServletException;
import jakarta.servlet.ServletRequest;
import jakarta.servlet.ServletResponse;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletRequestWrapper;
import jakarta.servlet.http.HttpServletResponse;
import jakarta.servlet.http.HttpSession;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.cert.Certificate;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.lang.System.Logger.Level;
import java.security.Principal;
import java.time.Duration;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;

/**
 * HTTP Negotiate for Jakarta Servlet containers: the requests behind this filter come from clients
 * that authenticated, and {@code getRemoteUser}, {@code getUserPrincipal} and {@code isUserInRole}
 * answer from the client's account name and groups (a role is a group name, "DOMAIN\\group" or a
 * local group).
 *
 * <p>One sign-on serves the session: the client as it authenticated is kept in the container's
 * {@link HttpSession}, and the session's later requests go on as that client without a new
 * Negotiate exchange, within the bounds of the negotiator's {@link com.tarvex.pelk.quentrel.http.Sessions} (a lifetime from the
 * sign-on, an idle time, and, when asked for, the client's address) as well as the container's own
 * session timeout. A sign-on moves the session to a new identifier, and a new client in a session
 * starts a new session. {@code request.logout()} ends it. The client's context lives only as long
 * as the request that signed on: the groups named in {@code groups} are answered for every
 * request of the session from the client's token; any other role from the directory when first
 * asked, and the same for the rest of the session.
 *
 * <p>Init parameters, all optional: {@code package} (default "Negotiate"), {@code groups} (names
 * answered for every client, separated by commas), {@code maxPending} (default 1000),
 * {@code maxPendingPerPeer} (default 32) and {@code timeoutSeconds} (default 30), the limits of
 * exchanges waiting for a next leg; {@code sessions} ("false" signs every request on),
 * {@code sessionLifetimeSeconds} (default 3600), {@code sessionIdleSeconds} (default 900),
 * {@code sessionBoundToAddress} (default false); {@code fallback}, where a client that cannot sign
 * on is sent (a page of the site's or any URL), linked from the 401 page it gets; {@code channelBinding} ("none", the default,
 * "accept" or "require", see {@link ChannelBinding}) with {@code channelBindingCertificate}, the
 * file (PEM or DER) of the certificate the container shows on its TLS connector: a container does
 * not tell a filter which certificate it showed, so the site names it; {@code basic} ("true" lets
 * clients that cannot negotiate sign on with a password checked against the domain, over HTTPS
 * only unless {@code basicOverPlainHttp} is "true"), {@code basicRealm} and {@code basicService}
 * (see {@link Negotiator.Builder#basic}).
 */
public final class NegotiateFilter implements Filter {
  /** The session attribute that holds the client's {@link SignOn}. */
  public static final String SESSION_ATTRIBUTE = NegotiateFilter.class.getName() + ".signOn";
  private Negotiator negotiator;
  private Gate gate;
  // The tls-server-end-point bindings of the container's certificate; null when none are checked.
  private byte[] channelBindings;

  /** A filter configured by its init parameters. */
  public NegotiateFilter() {}

  /** A filter with a negotiator of its own, closed when the filter is destroyed. */
  public NegotiateFilter(Negotiator negotiator) {
    this.negotiator = negotiator;
    this.gate = new Gate(negotiator);
  }

  /**
   * A filter with a negotiator of its own whose sign-ons over TLS are bound to the channel by the
   * certificate the container shows there, as the negotiator's channel binding mode says.
   */
  public NegotiateFilter(Negotiator negotiator, Certificate serverCertificate) {
    this(negotiator);
    if (negotiator.channelBinding() != ChannelBinding.Mode.NONE) {
      this.channelBindings = ChannelBinding.tlsServerEndPoint(serverCertificate);
    }
  }

  @Override
  public void init(FilterConfig config) {
    if (negotiator != null) {
      if (negotiator.channelBinding() != ChannelBinding.Mode.NONE && channelBindings == null) {
        throw new IllegalStateException("channel binding needs the certificate the container shows on its TLS"
            + " connector: new NegotiateFilter(negotiator, certificate)");
      }
      return;
    }
    Negotiator.Builder builder = Negotiator.builder().packageName(config.getInitParameter("package"))
        .fallback(config.getInitParameter("fallback"));
    String groups = config.getInitParameter("groups");
    if (groups != null && !groups.isBlank()) {
      builder.groups(Arrays.stream(groups.split(",")).map(String::trim).filter(g -> !g.isEmpty()).toArray(String[]::new));
    }
    String maxPending = config.getInitParameter("maxPending");
    if (maxPending != null) {
      builder.maxPending(Integer.parseInt(maxPending.trim()));
    }
    String timeout = config.getInitParameter("timeoutSeconds");
    if (timeout != null) {
      builder.timeout(Duration.ofSeconds(Long.parseLong(timeout.trim())));
    }
    String perPeer = config.getInitParameter("maxPendingPerPeer");
    if (perPeer != null) {
      builder.maxPendingPerPeer(Integer.parseInt(perPeer.trim()));
    }
    String sessions = config.getInitParameter("sessions");
    if (sessions != null) {
      builder.sessions(!sessions.trim().equalsIgnoreCase("false"));
    }
    String lifetime = config.getInitParameter("sessionLifetimeSeconds");
    if (lifetime != null) {
      builder.sessionLifetime(Duration.ofSeconds(Long.parseLong(lifetime.trim())));
    }
    String idle = config.getInitParameter("sessionIdleSeconds");
    if (idle != null) {
      builder.sessionIdle(Duration.ofSeconds(Long.parseLong(idle.trim())));
    }
    String bound = config.getInitParameter("sessionBoundToAddress");
    if (bound != null) {
      builder.sessionBoundToAddress(bound.trim().equalsIgnoreCase("true"));
    }
    String binding = config.getInitParameter("channelBinding");
    if (binding != null) {
      ChannelBinding.Mode mode = ChannelBinding.Mode.parse(binding);
      builder.channelBinding(mode);
      if (mode != ChannelBinding.Mode.NONE) {
        channelBindings = ChannelBinding.tlsServerEndPoint(certificate(config.getInitParameter("channelBindingCertificate")));
      }
    }
    negotiator = basic(builder, config).build();
    gate = new Gate(negotiator);
  }

  // HTTP Basic checked against the domain: "basic", "basicOverPlainHttp", "basicRealm", "basicService".
  private static Negotiator.Builder basic(Negotiator.Builder builder, FilterConfig config) {
    String on = config.getInitParameter("basic");
    String plain = config.getInitParameter("basicOverPlainHttp");
    return builder.basic(on != null && on.trim().equalsIgnoreCase("true"))
        .basicOverPlainHttp(plain != null && plain.trim().equalsIgnoreCase("true"))
        .basicRealm(config.getInitParameter("basicRealm")).basicService(config.getInitParameter("basicService"));
  }

  private static Certificate certificate(String file) {
    if (file == null || file.isBlank()) {
      throw new IllegalArgumentException("channelBinding needs channelBindingCertificate, the file of the certificate"
          + " the container shows on its TLS connector");
    }
    try (InputStream in = Files.newInputStream(Path.of(file.trim()))) {
      return CertificateFactory.getInstance("X.509").generateCertificate(in);
    } catch (IOException | CertificateException e) {
      throw new IllegalArgumentException("cannot read the channel binding certificate " + file + ": " + e.getMessage(), e);
    }
  }

  public Negotiator negotiator() {
    return negotiator;
  }

  @Override
  public void doFilter(ServletRequest request, ServletResponse response, FilterChain chain)
      throws IOException, ServletException {
    // A request begins and ends with its thread as the process, whatever the last handler on the
    // thread, or this one, left open.
    try {
      RequestScopes.end(negotiator.log(), "before the next request");
    } catch (IllegalStateException e) {
      throw new ServletException(e.getMessage(), e);
    }
    try {
      filter(request, response, chain);
    } finally {
      RequestScopes.end(negotiator.log(), "at the end of the request");
    }
  }

  private void filter(ServletRequest request, ServletResponse response, FilterChain chain)
      throws IOException, ServletException {
    if (!(request instanceof HttpServletRequest) || !(response instanceof HttpServletResponse)) {
      chain.doFilter(request, response);
      return;
    }
    HttpServletRequest http = (HttpServletRequest) request;
    HttpServletResponse answer = (HttpServletResponse) response;
    try (Admission admission = gate.admit(new ContainerRequest(http, answer, channelBindings))) {
      if (!admission.admitted()) {
        byte[] page = AnswerPages.page(admission.status(), negotiator.fallback());
        answer.setStatus(admission.status());
        answer.setContentType("text/html; charset=utf-8");
        answer.setContentLength(page.length);
        answer.getOutputStream().write(page);
        return;
      }
      chain.doFilter(new AuthenticatedRequest(http, admission.user(), admission.signOn(), this), response);
    }
  }

  // The container's side of the gate: a session lives in the container's HttpSession.
  private static final class ContainerRequest implements Gate.Request {
    private final HttpServletRequest http;
    private final HttpServletResponse answer;
    private final byte[] bindings;

    ContainerRequest(HttpServletRequest http, HttpServletResponse answer, byte[] bindings) {
      this.http = http;
      this.answer = answer;
      this.bindings = bindings;
    }

    @Override
    public List<String> authorization() {
      return Collections.list(http.getHeaders("Authorization"));
    }

    @Override
    public String peer() {
      return http.getRemoteAddr();
    }

    @Override
    public Object connection() {
      return connectionOf(http);
    }

    @Override
    public List<SignOn> sessions() {
      SignOn held = held(http.getSession(false));
      return held == null ? List.of() : List.of(held);
    }

    @Override
    public void forgetSessions() {
      release(http.getSession(false));
    }

    @Override
    public boolean keep(SignOn signOn, boolean renewed) {
      if (!renewed) {
        NegotiateFilter.keep(http, signOn);
      }
      return true;
    }

    @Override
    public void header(String name, String value) {
      answer.addHeader(name, value);
    }

    @Override
    public boolean secure() {
      return http.isSecure();
    }

    // The container's certificate, over its TLS connector only.
    @Override
    public byte[] channelBindings() {
      return http.isSecure() ? bindings : null;
    }
  }

  // The sign-on a session holds; null for none (or a session invalidated meanwhile).
  private static SignOn held(HttpSession session) {
    if (session == null) {
      return null;
    }
    try {
      Object held = session.getAttribute(SESSION_ATTRIBUTE);
      return held instanceof SignOn ? (SignOn) held : null;
    } catch (IllegalStateException invalidated) {
      return null;
    }
  }

  private static void release(HttpSession session) {
    if (session != null) {
      try {
        session.removeAttribute(SESSION_ATTRIBUTE);
      } catch (IllegalStateException invalidated) {
        // Nothing is held by a session that is gone.
      }
    }
  }

  // A sign-on never reuses an identifier that was known before it (a fixed session), and a new
  // client never inherits another's session.
  private static void keep(HttpServletRequest http, SignOn signOn) {
    HttpSession session = http.getSession(false);
    if (session != null) {
      SignOn earlier = held(session);
      if (earlier != null && !earlier.user().getName().equals(signOn.user().getName())) {
        try {
          session.invalidate();
        } catch (IllegalStateException alreadyInvalid) {
          // The container has ended it already.
        }
        session = null;
      } else {
        http.changeSessionId();
      }
    }
    if (session == null) {
      session = http.getSession(true);
    }
    session.setAttribute(SESSION_ATTRIBUTE, signOn);
  }

  @Override
  public void destroy() {
    if (negotiator != null) {
      negotiator.close();
    }
  }

  // One connection, for as long as it is open: the container's own identifier where it gives one
  // (Servlet 6), with the socket addresses of both ends.
  private static Object connectionOf(HttpServletRequest request) {
    String id = null;
    try {
      id = request.getServletConnection().getConnectionId();
    } catch (AbstractMethodError | NoSuchMethodError | UnsupportedOperationException olderContainer) {
      // Servlet 5 has no connection object; the addresses alone name the connection.
    }
    return List.of(String.valueOf(id), request.getRemoteAddr() + ":" + request.getRemotePort(),
        request.getLocalAddr() + ":" + request.getLocalPort());
  }

  private static final class AuthenticatedRequest extends HttpServletRequestWrapper {
    private final NegotiatedUser user;
    private final SignOn signOn;
    private final NegotiateFilter filter;

    AuthenticatedRequest(HttpServletRequest request, NegotiatedUser user, SignOn signOn, NegotiateFilter filter) {
      super(request);
      this.user = user;
      this.signOn = signOn;
      this.filter = filter;
    }

    /**
     * Ends the client's session: the next request signs on again. The container authenticated
     * nobody itself (the filter did), so it is not asked to log anyone out.
     */
    @Override
    public void logout() {
      if (signOn != null) {
        filter.negotiator.sessions().end(signOn);
      }
      release(((HttpServletRequest) getRequest()).getSession(false));
    }

    /** "BASIC" (the servlet API's own constant) for a password's sign-on, else "Negotiate". */
    @Override
    public String getAuthType() {
      return user.scheme().equals(Negotiator.SCHEME) ? Negotiator.SCHEME : HttpServletRequest.BASIC_AUTH;
    }

    @Override
    public String getRemoteUser() {
      return user.getName();
    }

    @Override
    public Principal getUserPrincipal() {
      return user;
    }

    @Override
    public boolean isUserInRole(String role) {
      // "**" is any authenticated user; "*" and empty names are no group.
      if ("**".equals(role)) {
        return true;
      }
      if (role == null || role.isEmpty() || "*".equals(role)) {
        return false;
      }
      return user.isMember(role);
    }
  }
}
