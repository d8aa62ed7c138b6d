package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.Gate;
import com.tarvex.pelk.quentrel.http.NegotiateHeader;
import com.tarvex.pelk.quentrel.http.SignOn;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;

/**
 * A Spring request as the gate sees it. The headers the gate answers with are collected, not
 * written: the filter writes them on success and the entry point on failure, each once. The
 * sign-on is kept in the web framework's own session under {@link #ATTRIBUTE}.
 */
abstract class GateRequest implements Gate.Request {
  static final String ATTRIBUTE = GateRequest.class.getPackageName() + ".SIGN_ON";
  private final List<String> authorization;
  private final String peer;
  private final Object connection;
  private final boolean secure;
  private final Map<String, String> headers = new ConcurrentHashMap<>();
  private volatile byte[] serverBindings;
  private final boolean basic;

  /** A request of a site that takes Negotiate alone. */
  GateRequest(List<String> authorization, String peer, Object connection, boolean secure) {
    this(authorization, peer, connection, secure, false);
  }

  /**
   * @param secure whether the request came over TLS, so its sign-on can be bound to the channel
   * @param basic whether the site takes HTTP Basic, so that a request carrying it signs on
   */
  GateRequest(List<String> authorization, String peer, Object connection, boolean secure, boolean basic) {
    this.basic = basic;
    this.authorization = List.copyOf(authorization);
    this.peer = peer;
    this.connection = connection;
    this.secure = secure;
  }

  /** The bindings of the certificate the server shows on TLS; null where none are checked. */
  void serverBindings(byte[] bindings) {
    serverBindings = bindings;
  }

  @Override
  public byte[] channelBindings() {
    return secure ? serverBindings : null;
  }

  @Override
  public boolean secure() {
    return secure;
  }

  @Override
  public List<String> authorization() {
    return authorization;
  }

  @Override
  public String peer() {
    return peer;
  }

  @Override
  public Object connection() {
    return connection;
  }

  @Override
  public void header(String name, String value) {
    // The gate's first challenge is Negotiate's; the entry point offers Basic beside it itself.
    headers.putIfAbsent(name, value);
  }

  /** The value the gate gave a response header; null for none. */
  String header(String name) {
    return headers.get(name);
  }

  /** Whether the client signs on with this request (rather than going on in a session). */
  boolean signsOn() {
    return NegotiateHeader.anyNegotiate(authorization) || basic && NegotiateHeader.anyBasic(authorization);
  }

  /** Whether the gate has anything to decide: a sign-on, or a session to resume. */
  boolean concernsGate() {
    return signsOn() || !sessions().isEmpty();
  }

  static List<SignOn> held(Object attribute) {
    return attribute instanceof SignOn signOn ? List.of(signOn) : List.of();
  }
}
