package com.tarvex.pelk.quentrel.spring;

import java.util.List;
import org.springframework.security.authentication.AbstractAuthenticationToken;

/**
 * A request that signs on with Negotiate, or goes on in the session it signed on in, before the
 * gate has decided it. It is never kept in a session.
 */
public final class NegotiateRequest extends AbstractAuthenticationToken {
  private static final long serialVersionUID = 1L;
  private final transient GateRequest request;

  NegotiateRequest(GateRequest request) {
    super(List.of());
    this.request = request;
    setAuthenticated(false);
  }

  GateRequest request() {
    return request;
  }

  /** Whether the request carries Negotiate, rather than only a session. */
  public boolean signsOn() {
    return request.signsOn();
  }

  @Override
  public Object getCredentials() {
    return request.authorization();
  }

  @Override
  public Object getPrincipal() {
    return request.peer();
  }
}
