package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.LogLines;
import com.tarvex.pelk.quentrel.http.RequestScopes;
import jakarta.servlet.FilterChain;
import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import org.springframework.security.authentication.AuthenticationManager;
import org.springframework.security.core.AuthenticationException;
import org.springframework.security.core.context.SecurityContext;
import org.springframework.security.core.context.SecurityContextHolder;
import org.springframework.security.core.context.SecurityContextHolderStrategy;
import org.springframework.security.web.AuthenticationEntryPoint;
import org.springframework.security.web.authentication.session.NullAuthenticatedSessionStrategy;
import org.springframework.security.web.authentication.session.SessionAuthenticationStrategy;
import org.springframework.security.web.context.RequestAttributeSecurityContextRepository;
import org.springframework.security.web.context.SecurityContextRepository;
import org.springframework.web.filter.OncePerRequestFilter;

/**
 * Negotiate in a servlet application's security filter chain: a request that signs on, or that
 * holds a sign-on in its HTTP session, goes on as the client; the gate decides which (a session
 * serves with no new exchange). Any other request passes on untouched, and a failed sign-on is
 * answered by the entry point. The security context is the request's own: the session holds the
 * sign-on, which is checked again on each request.
 */
public final class NegotiateAuthenticationFilter extends OncePerRequestFilter {
  private final AuthenticationManager manager;
  private final AuthenticationEntryPoint entryPoint;
  private final LogLines log;
  private SecurityContextRepository repository = new RequestAttributeSecurityContextRepository();
  private SessionAuthenticationStrategy sessionStrategy = new NullAuthenticatedSessionStrategy();
  private SecurityContextHolderStrategy holder = SecurityContextHolder.getContextHolderStrategy();
  private boolean basic;

  /** @param log where a thread left acting as a client is reported (the negotiator's) */
  public NegotiateAuthenticationFilter(AuthenticationManager manager, AuthenticationEntryPoint entryPoint,
      LogLines log) {
    this.manager = manager;
    this.entryPoint = entryPoint;
    this.log = log;
  }

  /** Where the sign-on is kept; by default for the request alone. */
  public void setSecurityContextRepository(SecurityContextRepository repository) {
    this.repository = repository;
  }

  /** What a sign-on does to the session, such as giving it a new identifier. */
  public void setSessionAuthenticationStrategy(SessionAuthenticationStrategy strategy) {
    this.sessionStrategy = strategy;
  }

  /** Whether a request carrying HTTP Basic signs on too, as where the negotiator takes Basic. */
  public void setBasic(boolean basic) {
    this.basic = basic;
  }

  public void setSecurityContextHolderStrategy(SecurityContextHolderStrategy holder) {
    this.holder = holder;
  }

  // A request starts and ends with its thread as the process, whatever a handler left open.
  @Override
  protected void doFilterInternal(HttpServletRequest request, HttpServletResponse response, FilterChain chain)
      throws ServletException, IOException {
    RequestScopes.end(log, "before the next request");
    try {
      admit(request, response, chain);
    } finally {
      RequestScopes.end(log, "at the end of the request");
    }
  }

  private void admit(HttpServletRequest request, HttpServletResponse response, FilterChain chain)
      throws ServletException, IOException {
    ServletGateRequest gateRequest = new ServletGateRequest(request, basic);
    if (!gateRequest.concernsGate()) {
      chain.doFilter(request, response);
      return;
    }
    NegotiatedAuthentication admitted;
    try {
      admitted = (NegotiatedAuthentication) manager.authenticate(new NegotiateRequest(gateRequest));
    } catch (AuthenticationException failed) {
      holder.clearContext();
      if (gateRequest.signsOn()) {
        entryPoint.commence(request, response, failed);
      } else {
        // A session that serves no longer is as none: the access rules decide what follows.
        chain.doFilter(request, response);
      }
      return;
    }
    try {
      if (!admitted.resumed()) {
        sessionStrategy.onAuthentication(admitted, request, response);
      }
      SecurityContext context = holder.createEmptyContext();
      context.setAuthentication(admitted);
      holder.setContext(context);
      repository.saveContext(context, request, response);
      if (admitted.wwwAuthenticate() != null) {
        response.addHeader("WWW-Authenticate", admitted.wwwAuthenticate());
      }
      chain.doFilter(request, response);
    } finally {
      admitted.requestEnded();
    }
  }
}
