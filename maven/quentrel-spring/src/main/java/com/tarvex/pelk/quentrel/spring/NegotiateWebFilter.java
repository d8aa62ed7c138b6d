package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.Negotiator;
import org.springframework.http.HttpHeaders;
import org.springframework.security.authentication.ReactiveAuthenticationManager;
import org.springframework.security.core.Authentication;
import org.springframework.security.core.AuthenticationException;
import org.springframework.security.core.context.ReactiveSecurityContextHolder;
import org.springframework.security.core.context.SecurityContext;
import org.springframework.security.core.context.SecurityContextImpl;
import org.springframework.security.web.server.ServerAuthenticationEntryPoint;
import org.springframework.security.web.server.authentication.ServerAuthenticationConverter;
import org.springframework.web.server.ServerWebExchange;
import org.springframework.web.server.WebFilter;
import org.springframework.web.server.WebFilterChain;
import org.springframework.web.server.WebSession;
import reactor.core.publisher.Mono;

/**
 * Negotiate in a WebFlux application's security chain: a request that signs on, or that holds a
 * sign-on in its web session, goes on as the client; the gate decides which (a session serves
 * with no new exchange), off the event loop. Any other request passes on untouched, and a failed
 * sign-on is answered by the entry point. The client's context is released when the request ends.
 */
public final class NegotiateWebFilter implements WebFilter {
  private final ServerAuthenticationConverter converter;
  private final ReactiveAuthenticationManager manager;
  private final ServerAuthenticationEntryPoint entryPoint;

  public NegotiateWebFilter(ServerAuthenticationConverter converter, ReactiveAuthenticationManager manager,
      ServerAuthenticationEntryPoint entryPoint) {
    this.converter = converter;
    this.manager = manager;
    this.entryPoint = entryPoint;
  }

  @Override
  public Mono<Void> filter(ServerWebExchange exchange, WebFilterChain chain) {
    return converter.convert(exchange)
        .switchIfEmpty(Mono.defer(() -> chain.filter(exchange).then(Mono.<Authentication>empty())))
        .flatMap(request -> manager.authenticate(request)
            .switchIfEmpty(Mono.error(() -> new NegotiateRefusedException("no authentication manager takes a Negotiate"
                + " sign-on", 401, Negotiator.SCHEME, null)))
            .onErrorResume(AuthenticationException.class, failed -> refused(exchange, chain, request, failed)))
        .flatMap(admitted -> proceed(exchange, chain, (NegotiatedAuthentication) admitted));
  }

  // A failed sign-on is answered by the entry point; a session that serves no longer is as none.
  private Mono<Authentication> refused(ServerWebExchange exchange, WebFilterChain chain, Authentication request,
      AuthenticationException failed) {
    boolean sessionOnly = request instanceof NegotiateRequest negotiate && !negotiate.signsOn();
    Mono<Void> answer = sessionOnly ? chain.filter(exchange) : entryPoint.commence(exchange, failed);
    return answer.then(Mono.empty());
  }

  private Mono<Void> proceed(ServerWebExchange exchange, WebFilterChain chain, NegotiatedAuthentication admitted) {
    SecurityContext context = new SecurityContextImpl(admitted);
    if (admitted.wwwAuthenticate() != null) {
      exchange.getResponse().getHeaders().add(HttpHeaders.WWW_AUTHENTICATE, admitted.wwwAuthenticate());
    }
    // A sign-on never keeps a session identifier that was known before it.
    Mono<Void> renewed = admitted.resumed() ? Mono.empty()
        : exchange.getSession().filter(WebSession::isStarted).flatMap(WebSession::changeSessionId);
    return renewed.then(Mono.defer(() -> chain.filter(exchange)))
        .contextWrite(ReactiveSecurityContextHolder.withSecurityContext(Mono.just(context)))
        .doFinally(signal -> admitted.requestEnded());
  }
}
