package com.tarvex.pelk.quentrel.spring;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import org.springframework.boot.context.properties.ConfigurationProperties;

/**
 * The sign-on's settings, under "quentrel.". The service's own principal and keytab are the
 * platform's: on Linux the environment of the process (KRB5_KTNAME, QUENTREL_SERVICE_PRINCIPAL),
 * on Windows the account the service runs as.
 */
@ConfigurationProperties("quentrel")
public class QuentrelProperties {
  /** The security package: Negotiate (Kerberos, or NTLM where the client cannot), Kerberos or NTLM. */
  private String securityPackage = "Negotiate";
  /** The groups to give as authorities ("SAMDOM\\Engineers"), with their SIDs, when the client is a member. */
  private List<String> groups = new ArrayList<>();
  /** Keep the sign-on in the HTTP session (Spring's), so the next requests make no new exchange. */
  private boolean sessions = true;
  /** Keep the client's context for the request that signs on, so a controller can act as the client. */
  private boolean delegation;
  /** The path of a login page for clients that cannot sign on with Negotiate; none by default. */
  private String loginPage;
  /** How long a multi-leg exchange may wait for the client's next leg. */
  private Duration timeout = Duration.ofSeconds(30);
  /** Whether sign-ons over TLS are bound to the channel: none, accept (when the client binds) or require. */
  private String channelBinding = "none";
  /** The file (PEM or DER) of the certificate the server shows on TLS, for channel binding. */
  private String channelBindingCertificate;
  /**
   * Let clients that cannot negotiate sign on with HTTP Basic: the name and password are checked
   * with the KDC, and its ticket must decrypt with the service's own key. Over HTTPS only, unless
   * basic-over-plain-http is set.
   */
  private boolean basic;
  /** Take Basic over plain HTTP too (the password then crosses the network in clear text). */
  private boolean basicOverPlainHttp;
  /** The realm the Basic challenge names. */
  private String basicRealm = "Windows domain";
  /** The service principal a Basic client's ticket is asked for; by default the keytab's first HTTP one. */
  private String basicService;
  /** Protect every path with the sign-on when the application declares no security filter chain. */
  private boolean defaultChain = true;

  public String getSecurityPackage() {
    return securityPackage;
  }

  public void setSecurityPackage(String securityPackage) {
    this.securityPackage = securityPackage;
  }

  public List<String> getGroups() {
    return groups;
  }

  public void setGroups(List<String> groups) {
    this.groups = groups;
  }

  public boolean isSessions() {
    return sessions;
  }

  public void setSessions(boolean sessions) {
    this.sessions = sessions;
  }

  public boolean isDelegation() {
    return delegation;
  }

  public void setDelegation(boolean delegation) {
    this.delegation = delegation;
  }

  public String getLoginPage() {
    return loginPage;
  }

  public void setLoginPage(String loginPage) {
    this.loginPage = loginPage == null || loginPage.isBlank() ? null : loginPage;
  }

  public Duration getTimeout() {
    return timeout;
  }

  public void setTimeout(Duration timeout) {
    this.timeout = timeout;
  }

  public boolean isDefaultChain() {
    return defaultChain;
  }

  public void setDefaultChain(boolean defaultChain) {
    this.defaultChain = defaultChain;
  }

  public boolean isBasic() {
    return basic;
  }

  public void setBasic(boolean basic) {
    this.basic = basic;
  }

  public boolean isBasicOverPlainHttp() {
    return basicOverPlainHttp;
  }

  public void setBasicOverPlainHttp(boolean basicOverPlainHttp) {
    this.basicOverPlainHttp = basicOverPlainHttp;
  }

  public String getBasicRealm() {
    return basicRealm;
  }

  public void setBasicRealm(String basicRealm) {
    this.basicRealm = basicRealm;
  }

  public String getBasicService() {
    return basicService;
  }

  public void setBasicService(String basicService) {
    this.basicService = basicService;
  }

  public String getChannelBinding() {
    return channelBinding;
  }

  public void setChannelBinding(String channelBinding) {
    this.channelBinding = channelBinding;
  }

  public String getChannelBindingCertificate() {
    return channelBindingCertificate;
  }

  public void setChannelBindingCertificate(String channelBindingCertificate) {
    this.channelBindingCertificate = channelBindingCertificate;
  }
}
