package com.tarvex.pelk.quentrel.spring;

import java.nio.charset.StandardCharsets;
import org.springframework.core.io.buffer.DataBuffer;
import org.springframework.http.HttpHeaders;
import org.springframework.http.HttpStatus;
import org.springframework.http.MediaType;
import org.springframework.http.server.reactive.ServerHttpResponse;
import org.springframework.security.core.AuthenticationException;
import org.springframework.security.web.server.ServerAuthenticationEntryPoint;
import org.springframework.web.server.ServerWebExchange;
import org.springframework.web.util.HtmlUtils;
import reactor.core.publisher.Mono;

/**
 * The WebFlux entry point: asks the client to sign on with Negotiate (401 and WWW-Authenticate),
 * or answers a failed sign-on as the exchange says. With a login page, the 401 carries a short
 * page that sends a client that cannot sign on there; a browser that can still answers the
 * challenge and never shows it.
 */
public final class NegotiateServerEntryPoint implements ServerAuthenticationEntryPoint {
  private final String loginPage;
  private final String basicChallenge;

  /** @param loginPage the path of the application's login page; null for none */
  public NegotiateServerEntryPoint(String loginPage) {
    this(loginPage, null);
  }

  /**
   * @param loginPage the path of the application's login page; null for none
   * @param basicChallenge the challenge that offers HTTP Basic beside Negotiate ({@link
   *     com.tarvex.pelk.quentrel.http.Negotiator#basicChallenge}); null where Basic is off
   */
  public NegotiateServerEntryPoint(String loginPage, String basicChallenge) {
    this.basicChallenge = basicChallenge;
    if (loginPage != null && !loginPage.startsWith("/")) {
      throw new IllegalArgumentException("the login page is a path of this application, starting with /: " + loginPage);
    }
    this.loginPage = loginPage;
  }

  @Override
  public Mono<Void> commence(ServerWebExchange exchange, AuthenticationException failure) {
    NegotiateRefusedException answer = NegotiateRefusedException.of(failure);
    ServerHttpResponse response = exchange.getResponse();
    response.setStatusCode(HttpStatus.valueOf(answer.status()));
    if (answer.wwwAuthenticate() != null) {
      response.getHeaders().add(HttpHeaders.WWW_AUTHENTICATE, answer.wwwAuthenticate());
    }
    if (basicChallenge != null && answer.status() == HttpStatus.UNAUTHORIZED.value()) {
      response.getHeaders().add(HttpHeaders.WWW_AUTHENTICATE, basicChallenge);
    }
    if (answer.retryAfter() != null) {
      response.getHeaders().add(HttpHeaders.RETRY_AFTER, answer.retryAfter());
    }
    if (loginPage == null || answer.status() != HttpStatus.UNAUTHORIZED.value()) {
      return response.setComplete();
    }
    String target = HtmlUtils.htmlEscape(loginPage);
    String page = "<!DOCTYPE html><html><head><meta http-equiv=\"refresh\" content=\"0; url=" + target + "\">"
        + "<title>Sign in</title></head><body><p>This site signs you on with your Windows account. If that did not"
        + " happen, <a href=\"" + target + "\">sign in here</a>.</p></body></html>";
    response.getHeaders().setContentType(MediaType.TEXT_HTML);
    DataBuffer body = response.bufferFactory().wrap(page.getBytes(StandardCharsets.UTF_8));
    return response.writeWith(Mono.just(body));
  }
}
