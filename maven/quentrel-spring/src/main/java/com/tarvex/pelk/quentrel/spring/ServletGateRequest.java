package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.SignOn;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpSession;
import java.util.Collections;
import java.util.List;

/** A servlet request for the gate; the sign-on lives in the container's HTTP session. */
final class ServletGateRequest extends GateRequest {
  private final HttpServletRequest request;

  ServletGateRequest(HttpServletRequest request, boolean basic) {
    super(Collections.list(request.getHeaders("Authorization")), request.getRemoteAddr(), connectionOf(request),
        request.isSecure(), basic);
    this.request = request;
  }

  @Override
  public List<SignOn> sessions() {
    HttpSession session = request.getSession(false);
    try {
      return session == null ? List.of() : held(session.getAttribute(ATTRIBUTE));
    } catch (IllegalStateException invalidated) {
      return List.of();
    }
  }

  @Override
  public void forgetSessions() {
    HttpSession session = request.getSession(false);
    if (session != null) {
      try {
        session.removeAttribute(ATTRIBUTE);
      } catch (IllegalStateException invalidated) {
        // Nothing is held by a session that is gone.
      }
    }
  }

  @Override
  public boolean keep(SignOn signOn, boolean renewed) {
    request.getSession(true).setAttribute(ATTRIBUTE, signOn);
    return true;
  }

  // One connection, for as long as it is open: the container's identifier with both ends'
  // addresses, so a multi-leg exchange goes on only where it began.
  private static Object connectionOf(HttpServletRequest request) {
    String id = null;
    try {
      id = request.getServletConnection().getConnectionId();
    } catch (UnsupportedOperationException | AbstractMethodError olderContainer) {
      // The addresses alone then name the connection.
    }
    return List.of(String.valueOf(id), request.getRemoteAddr() + ":" + request.getRemotePort(),
        request.getLocalAddr() + ":" + request.getLocalPort());
  }
}
