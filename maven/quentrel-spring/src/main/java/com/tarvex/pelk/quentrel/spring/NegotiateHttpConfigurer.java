package com.tarvex.pelk.quentrel.spring;

import org.springframework.security.authentication.ProviderManager;
import org.springframework.security.config.annotation.web.builders.HttpSecurity;
import org.springframework.security.config.annotation.web.configurers.AbstractHttpConfigurer;
import org.springframework.security.config.annotation.web.configurers.ExceptionHandlingConfigurer;
import org.springframework.security.web.authentication.session.ChangeSessionIdAuthenticationStrategy;
import org.springframework.security.web.authentication.www.BasicAuthenticationFilter;

/**
 * Adds Negotiate sign-on to a servlet application's own security filter chain:
 * {@code http.with(negotiate, Customizer.withDefaults())}, with the configurer the
 * auto-configuration provides. With sessions on, the sign-on is kept in the HTTP session (under a
 * new session identifier), and the client's next requests go on there with no new exchange.
 */
public final class NegotiateHttpConfigurer extends AbstractHttpConfigurer<NegotiateHttpConfigurer, HttpSecurity> {
  private final NegotiateAuthenticationProvider provider;
  private final NegotiateEntryPoint entryPoint;
  private final boolean sessions;

  public NegotiateHttpConfigurer(NegotiateAuthenticationProvider provider, NegotiateEntryPoint entryPoint,
      boolean sessions) {
    this.provider = provider;
    this.entryPoint = entryPoint;
    this.sessions = sessions;
  }

  @Override
  @SuppressWarnings("unchecked")
  public void init(HttpSecurity http) {
    ExceptionHandlingConfigurer<HttpSecurity> handling = http.getConfigurer(ExceptionHandlingConfigurer.class);
    if (handling != null) {
      handling.authenticationEntryPoint(entryPoint);
    }
  }

  @Override
  public void configure(HttpSecurity http) {
    NegotiateAuthenticationFilter filter = new NegotiateAuthenticationFilter(new ProviderManager(provider), entryPoint,
        provider.negotiator().log());
    filter.setSecurityContextHolderStrategy(getSecurityContextHolderStrategy());
    filter.setBasic(provider.negotiator().basicChallenge() != null);
    if (sessions) {
      filter.setSessionAuthenticationStrategy(new ChangeSessionIdAuthenticationStrategy());
    }
    http.addFilterBefore(filter, BasicAuthenticationFilter.class);
  }
}
