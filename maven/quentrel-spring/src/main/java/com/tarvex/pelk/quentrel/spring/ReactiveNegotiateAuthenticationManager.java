package com.tarvex.pelk.quentrel.spring;

import org.springframework.security.authentication.AuthenticationProvider;
import org.springframework.security.authentication.ReactiveAuthenticationManager;
import org.springframework.security.core.Authentication;
import reactor.core.publisher.Mono;
import reactor.core.scheduler.Scheduler;
import reactor.core.scheduler.Schedulers;

/**
 * The sign-on for WebFlux: the blocking provider (it may wait for a domain controller) runs on a
 * scheduler for blocking work, never on the event loop.
 */
public final class ReactiveNegotiateAuthenticationManager implements ReactiveAuthenticationManager {
  private final AuthenticationProvider provider;
  private final Scheduler scheduler;

  public ReactiveNegotiateAuthenticationManager(AuthenticationProvider provider) {
    this(provider, Schedulers.boundedElastic());
  }

  public ReactiveNegotiateAuthenticationManager(AuthenticationProvider provider, Scheduler scheduler) {
    this.provider = provider;
    this.scheduler = scheduler;
  }

  @Override
  public Mono<Authentication> authenticate(Authentication authentication) {
    if (!provider.supports(authentication.getClass())) {
      return Mono.empty();
    }
    return Mono.fromCallable(() -> provider.authenticate(authentication)).subscribeOn(scheduler);
  }
}
