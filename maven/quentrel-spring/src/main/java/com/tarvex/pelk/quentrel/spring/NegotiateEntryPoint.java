package com.tarvex.pelk.quentrel.spring;

import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import org.springframework.security.core.AuthenticationException;
import org.springframework.security.web.AuthenticationEntryPoint;

/**
 * Asks a client to sign on with Negotiate (401 and WWW-Authenticate), or answers a sign-on that
 * failed as the exchange says. With a login page, a client that cannot sign on (no ticket, a
 * browser not trusted with the site) gets that page with the 401, so it can sign on another way;
 * a browser that can still answers the challenge.
 */
public final class NegotiateEntryPoint implements AuthenticationEntryPoint {
  private final String loginPage;
  private final String basicChallenge;

  /** @param loginPage the path of the application's login page; null for none */
  public NegotiateEntryPoint(String loginPage) {
    this(loginPage, null);
  }

  /**
   * @param loginPage the path of the application's login page; null for none
   * @param basicChallenge the challenge that offers HTTP Basic beside Negotiate ({@link
   *     com.tarvex.pelk.quentrel.http.Negotiator#basicChallenge}); null where Basic is off
   */
  public NegotiateEntryPoint(String loginPage, String basicChallenge) {
    this.basicChallenge = basicChallenge;
    if (loginPage != null && !loginPage.startsWith("/")) {
      throw new IllegalArgumentException("the login page is a path of this application, starting with /: " + loginPage);
    }
    this.loginPage = loginPage;
  }

  @Override
  public void commence(HttpServletRequest request, HttpServletResponse response, AuthenticationException failure)
      throws IOException, ServletException {
    NegotiateRefusedException answer = NegotiateRefusedException.of(failure);
    if (answer.wwwAuthenticate() != null) {
      response.addHeader("WWW-Authenticate", answer.wwwAuthenticate());
    }
    if (answer.retryAfter() != null) {
      response.addHeader("Retry-After", answer.retryAfter());
    }
    if (basicChallenge != null && answer.status() == HttpServletResponse.SC_UNAUTHORIZED) {
      response.addHeader("WWW-Authenticate", basicChallenge);
    }
    response.setStatus(answer.status());
    if (loginPage != null && answer.status() == HttpServletResponse.SC_UNAUTHORIZED) {
      request.getRequestDispatcher(loginPage).forward(request, response);
      return;
    }
    response.setContentLength(0);
  }
}
