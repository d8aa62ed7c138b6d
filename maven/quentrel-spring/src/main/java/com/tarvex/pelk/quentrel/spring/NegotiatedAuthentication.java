package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import com.tarvex.pelk.quentrel.http.NegotiatedUser;
import com.tarvex.pelk.quentrel.http.Admission;
import java.util.Collection;
import org.springframework.security.authentication.AbstractAuthenticationToken;
import org.springframework.security.core.GrantedAuthority;

/**
 * A client that signed on with Negotiate: its account ("SAMDOM\alice") as the name and principal,
 * its groups and their SIDs as authorities. It can be kept in a session; the client's security
 * context is not kept with it, so acting as the client ({@link #impersonate()}) is possible only
 * while the request that signed on runs, and only where delegation is on.
 */
public final class NegotiatedAuthentication extends AbstractAuthenticationToken {
  private static final long serialVersionUID = 1L;
  private final NegotiatedUser user;
  private final String wwwAuthenticate;
  private final boolean resumed;
  private transient volatile Admission signOn;

  NegotiatedAuthentication(NegotiatedUser user, Collection<? extends GrantedAuthority> authorities,
      String wwwAuthenticate, Admission signOn, boolean resumed) {
    super(authorities);
    this.user = user;
    this.wwwAuthenticate = wwwAuthenticate;
    this.signOn = signOn;
    this.resumed = resumed;
    setAuthenticated(true);
  }

  /** The HTTP scheme the client signed on with: "Negotiate", or "Basic" for a password checked by the KDC. */
  public String scheme() {
    return user.scheme();
  }

  /** Whether the request went on in the client's session, with no sign-on. */
  public boolean resumed() {
    return resumed;
  }

  @Override
  public Object getCredentials() {
    // Nothing secret is kept: the token was used up by the sign-on.
    return "";
  }

  @Override
  public NegotiatedUser getPrincipal() {
    return user;
  }

  @Override
  public String getName() {
    return user.getName();
  }

  /** The header that finishes the exchange on the client (mutual authentication); null for none. */
  public String wwwAuthenticate() {
    return wwwAuthenticate;
  }

  /**
   * Makes this thread act as the client until the returned scope is closed, so that what it opens
   * (files, client contexts for a second server) is done as the client. Blocking: in a reactive
   * application call it off the event loop.
   *
   * @throws IllegalStateException outside the request that signed the client on, or with delegation off
   */
  public ServerContext.Impersonation impersonate() throws WinAuthException {
    Admission current = signOn;
    ServerContext context = current == null ? null : current.context();
    if (context == null || context.isClosed()) {
      throw new IllegalStateException("the client's context is kept only for the request that signed " + getName()
          + " on, and only with delegation on (quentrel.delegation=true)");
    }
    return context.impersonate();
  }

  /** Releases the client's context: the request that signed on is over. */
  void requestEnded() {
    Admission current = signOn;
    signOn = null;
    if (current != null) {
      current.close();
    }
  }
}
