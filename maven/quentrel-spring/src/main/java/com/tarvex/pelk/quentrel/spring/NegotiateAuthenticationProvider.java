package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.Admission;
import com.tarvex.pelk.quentrel.http.ChannelBinding;
import com.tarvex.pelk.quentrel.http.Gate;
import com.tarvex.pelk.quentrel.http.Negotiator;
import java.security.cert.Certificate;
import java.util.List;
import org.springframework.security.authentication.AuthenticationProvider;
import org.springframework.security.core.Authentication;
import org.springframework.security.core.AuthenticationException;

/**
 * Has the gate decide a {@link NegotiateRequest} (go on in the session, or sign on through the
 * platform's security package) and gives a {@link NegotiatedAuthentication} whose authorities are
 * the client's declared groups. Blocking (a sign-on may wait for a domain controller); the
 * reactive manager calls it off the event loop.
 */
public final class NegotiateAuthenticationProvider implements AuthenticationProvider {
  private final Gate gate;
  private final GroupAuthorities authorities;
  private final boolean keepContext;
  private final byte[] channelBindings;

  /**
   * @param negotiator signs on; with its sessions on, a sign-on is kept in the web framework's session
   * @param groups the groups to give as authorities when the client is a member; declare the same
   *     groups to the negotiator, so that a session answers them
   * @param keepContext keep the client's context until the request that signs on ends, for delegation
   */
  public NegotiateAuthenticationProvider(Negotiator negotiator, List<String> groups, boolean keepContext) {
    this(negotiator, groups, keepContext, null);
  }

  /**
   * A provider whose sign-ons over TLS are bound to the channel, as the negotiator's channel
   * binding mode says, by the certificate the server shows there (a web server does not tell the
   * application which certificate it showed, so the site names it).
   */
  public NegotiateAuthenticationProvider(Negotiator negotiator, List<String> groups, boolean keepContext,
      Certificate serverCertificate) {
    boolean binds = negotiator.channelBinding() != ChannelBinding.Mode.NONE;
    if (binds && serverCertificate == null) {
      throw new IllegalArgumentException("channel binding needs the certificate the server shows on TLS"
          + " (quentrel.channel-binding-certificate)");
    }
    this.gate = new Gate(negotiator);
    this.authorities = new GroupAuthorities(groups);
    this.keepContext = keepContext;
    this.channelBindings = binds ? ChannelBinding.tlsServerEndPoint(serverCertificate) : null;
  }

  public Negotiator negotiator() {
    return gate.negotiator();
  }

  @Override
  public Authentication authenticate(Authentication authentication) throws AuthenticationException {
    GateRequest request = ((NegotiateRequest) authentication).request();
    request.serverBindings(channelBindings);
    Admission admission = gate.admit(request);
    if (!admission.admitted()) {
      int status = admission.status();
      admission.close();
      throw new NegotiateRefusedException("Negotiate sign-on not complete", status,
          request.header("WWW-Authenticate"), request.header("Retry-After"));
    }
    try {
      boolean keep = keepContext && !admission.resumed();
      NegotiatedAuthentication admitted = new NegotiatedAuthentication(admission.user(),
          authorities.of(admission.user()), request.header("WWW-Authenticate"), keep ? admission : null,
          admission.resumed());
      if (!keep) {
        admission.close();
      }
      return admitted;
    } catch (RuntimeException | Error e) {
      admission.close();
      throw e;
    }
  }

  @Override
  public boolean supports(Class<?> authentication) {
    return NegotiateRequest.class.isAssignableFrom(authentication);
  }
}
