package com.tarvex.pelk.quentrel.spring;

import org.springframework.security.core.Authentication;
import org.springframework.security.web.server.authentication.ServerAuthenticationConverter;
import org.springframework.web.server.ServerWebExchange;
import reactor.core.publisher.Mono;

/**
 * A WebFlux request that signs on with Negotiate or holds a sign-on in its session, as a
 * {@link NegotiateRequest}; empty for any other.
 */
public final class NegotiateServerAuthenticationConverter implements ServerAuthenticationConverter {
  private final boolean basic;

  /** A converter of Negotiate sign-ons and sessions. */
  public NegotiateServerAuthenticationConverter() {
    this(false);
  }

  /** @param basic whether a request carrying HTTP Basic signs on too (the negotiator takes Basic) */
  public NegotiateServerAuthenticationConverter(boolean basic) {
    this.basic = basic;
  }
  @Override
  public Mono<Authentication> convert(ServerWebExchange exchange) {
    return exchange.getSession().flatMap(session -> {
      WebFluxGateRequest request = new WebFluxGateRequest(exchange, session, basic);
      return request.concernsGate() ? Mono.just(new NegotiateRequest(request)) : Mono.empty();
    });
  }
}
