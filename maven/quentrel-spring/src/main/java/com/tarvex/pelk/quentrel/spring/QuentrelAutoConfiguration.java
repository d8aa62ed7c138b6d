package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.ChannelBinding;
import com.tarvex.pelk.quentrel.http.Negotiator;
import jakarta.servlet.DispatcherType;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.cert.Certificate;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import org.springframework.boot.autoconfigure.AutoConfiguration;
import org.springframework.boot.autoconfigure.condition.ConditionalOnBooleanProperty;
import org.springframework.boot.autoconfigure.condition.ConditionalOnClass;
import org.springframework.boot.autoconfigure.condition.ConditionalOnMissingBean;
import org.springframework.boot.autoconfigure.condition.ConditionalOnWebApplication;
import org.springframework.boot.autoconfigure.condition.ConditionalOnWebApplication.Type;
import org.springframework.boot.context.properties.EnableConfigurationProperties;
import org.springframework.context.annotation.Bean;
import org.springframework.context.annotation.Configuration;
import org.springframework.security.config.annotation.web.builders.HttpSecurity;
import org.springframework.security.config.annotation.web.configuration.EnableWebSecurity;
import org.springframework.security.config.annotation.web.reactive.EnableWebFluxSecurity;
import org.springframework.security.config.http.SessionCreationPolicy;
import org.springframework.security.config.web.server.SecurityWebFiltersOrder;
import org.springframework.security.config.web.server.ServerHttpSecurity;
import org.springframework.security.web.SecurityFilterChain;
import org.springframework.security.web.context.RequestAttributeSecurityContextRepository;
import org.springframework.security.web.savedrequest.NullRequestCache;
import org.springframework.security.web.server.SecurityWebFilterChain;
import org.springframework.security.web.server.context.NoOpServerSecurityContextRepository;
import org.springframework.security.web.server.savedrequest.NoOpServerRequestCache;

/**
 * Negotiate sign-on for Spring Boot applications: the artifact and the groups to answer are
 * enough. Without a security filter chain of the application's own, every path needs a signed-on
 * client (the login page excepted); with one, the application adds the sign-on to it through
 * {@link NegotiateHttpConfigurer} (servlet) or {@link NegotiateWebFilter} (WebFlux).
 */
@AutoConfiguration(beforeName = {
    "org.springframework.boot.security.autoconfigure.SecurityAutoConfiguration",
    "org.springframework.boot.security.autoconfigure.UserDetailsServiceAutoConfiguration",
    "org.springframework.boot.security.autoconfigure.ReactiveUserDetailsServiceAutoConfiguration",
    "org.springframework.boot.security.autoconfigure.web.servlet.ServletWebSecurityAutoConfiguration",
    "org.springframework.boot.security.autoconfigure.web.reactive.ReactiveWebSecurityAutoConfiguration"})
@ConditionalOnClass(name = "org.springframework.security.authentication.AuthenticationProvider")
@EnableConfigurationProperties(QuentrelProperties.class)
public class QuentrelAutoConfiguration {
  @Bean(destroyMethod = "close")
  @ConditionalOnMissingBean
  public Negotiator quentrelNegotiator(QuentrelProperties properties) {
    // The sign-on is kept in the web framework's own session, not in the negotiator's cookie.
    return Negotiator.builder().packageName(properties.getSecurityPackage()).groups(properties.getGroups())
        .timeout(properties.getTimeout()).sessions(properties.isSessions())
        .channelBinding(ChannelBinding.Mode.parse(properties.getChannelBinding())).basic(properties.isBasic())
        .basicOverPlainHttp(properties.isBasicOverPlainHttp()).basicRealm(properties.getBasicRealm())
        .basicService(properties.getBasicService()).build();
  }

  @Bean
  @ConditionalOnMissingBean
  public NegotiateAuthenticationProvider quentrelAuthenticationProvider(Negotiator negotiator,
      QuentrelProperties properties) {
    return new NegotiateAuthenticationProvider(negotiator, properties.getGroups(), properties.isDelegation(),
        certificate(properties.getChannelBindingCertificate()));
  }

  private static Certificate certificate(String file) {
    if (file == null || file.isBlank()) {
      return null;
    }
    try (InputStream in = Files.newInputStream(Path.of(file.trim()))) {
      return CertificateFactory.getInstance("X.509").generateCertificate(in);
    } catch (IOException | CertificateException e) {
      throw new IllegalArgumentException("cannot read quentrel.channel-binding-certificate " + file + ": "
          + e.getMessage(), e);
    }
  }

  @Configuration(proxyBeanMethods = false)
  @ConditionalOnWebApplication(type = Type.SERVLET)
  @ConditionalOnClass(name = "jakarta.servlet.Filter")
  @EnableWebSecurity
  static class ServletSignOn {
    @Bean
    @ConditionalOnMissingBean
    NegotiateHttpConfigurer quentrelHttpConfigurer(NegotiateAuthenticationProvider provider,
        QuentrelProperties properties) {
      return new NegotiateHttpConfigurer(provider,
          new NegotiateEntryPoint(properties.getLoginPage(), provider.negotiator().basicChallenge()),
          properties.isSessions());
    }

    @Bean
    @ConditionalOnMissingBean({SecurityFilterChain.class, SecurityWebFilterChain.class})
    @ConditionalOnBooleanProperty(name = "quentrel.default-chain", matchIfMissing = true)
    SecurityFilterChain quentrelSecurityFilterChain(HttpSecurity http, NegotiateHttpConfigurer negotiate,
        QuentrelProperties properties) throws Exception {
      String loginPage = properties.getLoginPage();
      http.authorizeHttpRequests(requests -> {
        // The login page is shown to clients that are not signed on, also through a forward.
        requests.dispatcherTypeMatchers(DispatcherType.FORWARD, DispatcherType.ERROR).permitAll();
        if (loginPage != null) {
          requests.requestMatchers(loginPage).permitAll();
        }
        requests.anyRequest().authenticated();
      });
      // The session holds the sign-on itself, checked again on each request, not a security context;
      // and a client that has not signed on gets no session for a saved request.
      http.securityContext(context -> context.securityContextRepository(new RequestAttributeSecurityContextRepository()));
      http.requestCache(cache -> cache.requestCache(new NullRequestCache()));
      if (!properties.isSessions()) {
        http.sessionManagement(sessions -> sessions.sessionCreationPolicy(SessionCreationPolicy.STATELESS));
      }
      return http.with(negotiate, configurer -> { }).build();
    }
  }

  @Configuration(proxyBeanMethods = false)
  @ConditionalOnWebApplication(type = Type.REACTIVE)
  @ConditionalOnClass(name = "org.springframework.web.server.WebFilter")
  @EnableWebFluxSecurity
  static class ReactiveSignOn {
    @Bean
    @ConditionalOnMissingBean
    ReactiveNegotiateAuthenticationManager quentrelReactiveAuthenticationManager(
        NegotiateAuthenticationProvider provider) {
      return new ReactiveNegotiateAuthenticationManager(provider);
    }

    @Bean
    @ConditionalOnMissingBean({SecurityFilterChain.class, SecurityWebFilterChain.class})
    @ConditionalOnBooleanProperty(name = "quentrel.default-chain", matchIfMissing = true)
    SecurityWebFilterChain quentrelSecurityWebFilterChain(ServerHttpSecurity http,
        ReactiveNegotiateAuthenticationManager manager, Negotiator negotiator, QuentrelProperties properties) {
      String basic = negotiator.basicChallenge();
      NegotiateServerEntryPoint entryPoint = new NegotiateServerEntryPoint(properties.getLoginPage(), basic);
      NegotiateWebFilter filter = new NegotiateWebFilter(new NegotiateServerAuthenticationConverter(basic != null),
          manager, entryPoint);
      // The session holds the sign-on itself, checked again on each request, not a security context;
      // and a client that has not signed on gets no session for a saved request.
      http.securityContextRepository(NoOpServerSecurityContextRepository.getInstance());
      http.requestCache(cache -> cache.requestCache(NoOpServerRequestCache.getInstance()));
      String loginPage = properties.getLoginPage();
      http.authorizeExchange(exchanges -> {
        if (loginPage != null) {
          exchanges.pathMatchers(loginPage).permitAll();
        }
        exchanges.anyExchange().authenticated();
      });
      return http.addFilterAt(filter, SecurityWebFiltersOrder.AUTHENTICATION)
          .exceptionHandling(handling -> handling.authenticationEntryPoint(entryPoint))
          .build();
    }
  }
}
