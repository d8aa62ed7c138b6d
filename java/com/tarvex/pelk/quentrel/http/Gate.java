package com.tarvex.pelk.quentrel.http;

import java.lang.System.Logger.Level;
import java.util.List;

/**
 * The one decision every server flavour makes for a request: does a session the client holds
 * serve it, or does the client sign on now. A flavour (the JDK server, a servlet filter, a Spring
 * filter, a reactive web filter) says through {@link Request} where its sessions live and how it
 * writes headers, and then does what the {@link Admission} says; it decides nothing itself.
 *
 * <p>The rules, in order: a request whose Authorization carries Negotiate signs on, whatever session
 * it also holds; otherwise the first session it holds that still serves it goes on, with
 * no call into the security package; a request that holds sessions and none serves has them
 * forgotten and is asked for Negotiate, like a request that holds none; Basic credentials, where
 * the site takes them, sign on only then.
 */
public final class Gate {
  private final Negotiator negotiator;

  /** What a server flavour gives the gate for one request, and answers through. */
  public interface Request {
    /** The values of the request's Authorization headers; empty for none. */
    List<String> authorization();

    /** The client's address as text; null when the server cannot tell. */
    String peer();

    /** Equal for the requests of one connection, different for different connections. */
    Object connection();

    /** The sessions the request carries, already read back (a few at most); empty for none. */
    List<SignOn> sessions();

    /** The request's sessions serve nothing: the flavour forgets them (clears the cookie, the attribute). */
    void forgetSessions();

    /**
     * Keeps a sign-on for the client's later requests. Called when a client signs on, and with a
     * session in use whose stored copy is due to be written again ({@code renewed}).
     *
     * @return false when the flavour cannot keep it (a cookie would be too long)
     */
    boolean keep(SignOn signOn, boolean renewed);

    /** Adds a header to the response. */
    void header(String name, String value);

    /**
     * The bindings of the channel the request came over: for a request over TLS, {@link
     * ChannelBinding#tlsServerEndPoint} of the certificate the server showed; null over plain
     * HTTP or where the site checks no bindings (see {@link Negotiator.Builder#channelBinding}).
     */
    default byte[] channelBindings() {
      return null;
    }

    /** Whether the request came over TLS (HTTPS); a flavour that cannot tell says false. */
    default boolean secure() {
      return channelBindings() != null;
    }
  }

  /**
   * A gate of the negotiator's settings, for a server flavour that starts now: it names in the log
   * the library's settings that widen trust, and, once, why the server cannot accept sign-ons.
   */
  public Gate(Negotiator negotiator) {
    this.negotiator = negotiator;
    LibrarySettings.announce(negotiator.log(), "a server");
    String problem = AcceptorCheck.atStart(negotiator.packageName());
    if (problem != null) {
      Negotiator.LOG.log(Level.ERROR, "Negotiate: " + problem);
    }
    if (negotiator.basic() != null) {
      Negotiator.LOG.log(Level.INFO, negotiator.basic().announcement());
    }
  }

  public Negotiator negotiator() {
    return negotiator;
  }

  /**
   * Decides one request. The headers the answer needs (WWW-Authenticate, Retry-After) are
   * written through the request; close the admission when the request is over.
   */
  public Admission admit(Request request) {
    Sessions sessions = negotiator.sessions();
    List<String> authorization = request.authorization();
    String peer = request.peer();
    // Browsers repeat Basic on every request once it worked: a session that serves takes those, so
    // that a session does not cost a KDC exchange per request.
    if (sessions.enabled() && !NegotiateHeader.anyNegotiate(authorization)) {
      List<SignOn> held = request.sessions();
      for (SignOn session : held) {
        boolean stale = sessions.stale(session);
        if (sessions.serves(session, peer)) {
          if (stale) {
            request.keep(session, true);
          }
          return Admission.resumed(session);
        }
      }
      if (!held.isEmpty()) {
        negotiator.log().log("session-refused", Level.DEBUG, "Negotiate: {0}: a session that serves no longer;"
            + " asking for Negotiate", request.connection());
        request.forgetSessions();
      }
    }
    byte[] bindings = negotiator.channelBinding() == ChannelBinding.Mode.NONE ? null : request.channelBindings();
    Outcome outcome = negotiator.authenticate(request.connection(), peer, authorization, bindings, request.secure());
    String answer = outcome.wwwAuthenticate();
    if (answer != null) {
      request.header("WWW-Authenticate", answer);
    }
    if (outcome.status() == 401 && negotiator.basicChallenge() != null) {
      request.header("WWW-Authenticate", negotiator.basicChallenge());
    }
    if (outcome.retryAfter() != null) {
      request.header("Retry-After", outcome.retryAfter());
    }
    if (!outcome.authenticated() || !sessions.enabled()) {
      return Admission.decided(outcome, null);
    }
    SignOn session = sessions.start(outcome.user(), peer);
    if (!request.keep(session, false)) {
      negotiator.log().log("session-unkept", Level.WARNING, "Negotiate: {0}''s session cannot be kept (too many"
          + " groups for a cookie); every request of it signs on", outcome.user().getName());
      session = null;
    }
    return Admission.decided(outcome, session);
  }
}
