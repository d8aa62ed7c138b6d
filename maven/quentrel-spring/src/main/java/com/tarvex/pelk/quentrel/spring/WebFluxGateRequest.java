package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.SignOn;
import java.net.InetSocketAddress;
import java.util.List;
import org.springframework.http.HttpHeaders;
import org.springframework.http.server.reactive.ServerHttpRequest;
import org.springframework.web.server.ServerWebExchange;
import org.springframework.web.server.WebSession;

/** A WebFlux request for the gate; the sign-on lives in the exchange's web session. */
final class WebFluxGateRequest extends GateRequest {
  private final WebSession session;

  WebFluxGateRequest(ServerWebExchange exchange, WebSession session, boolean basic) {
    super(exchange.getRequest().getHeaders().getOrEmpty(HttpHeaders.AUTHORIZATION),
        addressOf(exchange.getRequest().getRemoteAddress()), connectionOf(exchange.getRequest()),
        exchange.getRequest().getSslInfo() != null, basic);
    this.session = session;
  }

  @Override
  public List<SignOn> sessions() {
    return held(session.getAttributes().get(ATTRIBUTE));
  }

  @Override
  public void forgetSessions() {
    session.getAttributes().remove(ATTRIBUTE);
  }

  @Override
  public boolean keep(SignOn signOn, boolean renewed) {
    session.getAttributes().put(ATTRIBUTE, signOn);
    return true;
  }

  // The socket addresses of both ends name the connection a multi-leg exchange goes on over.
  private static Object connectionOf(ServerHttpRequest request) {
    return List.of(String.valueOf(request.getRemoteAddress()), String.valueOf(request.getLocalAddress()));
  }

  private static String addressOf(InetSocketAddress address) {
    return address == null || address.getAddress() == null ? null : address.getAddress().getHostAddress();
  }
}
