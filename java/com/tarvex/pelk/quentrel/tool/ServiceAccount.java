package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.http.LibrarySettings;
import com.tarvex.pelk.quentrel.http.ServiceKeytab;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.PrivilegedExceptionAction;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashMap;
import java.util.HashSet;
import java.util.Hashtable;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import javax.naming.Context;
import javax.naming.NamingEnumeration;
import javax.naming.NamingException;
import javax.naming.directory.Attribute;
import javax.naming.directory.Attributes;
import javax.naming.directory.DirContext;
import javax.naming.directory.InitialDirContext;
import javax.naming.directory.SearchControls;
import javax.naming.directory.SearchResult;
import javax.security.auth.Subject;
import javax.security.auth.login.AppConfigurationEntry;
import javax.security.auth.login.Configuration;
import javax.security.auth.login.LoginContext;
import javax.security.auth.login.LoginException;

/**
 * The service account behind the keytab as the domain's directory holds it: its key version and
 * the encryption types it allows, read by the service itself (a ticket from the keytab, a SASL
 * GSSAPI bind with integrity protection), as a controller that requires LDAP signing demands. A
 * keytab whose key version is behind the directory's was exported before the account's password
 * last changed, and every ticket for the service is then unreadable; an account that allows no
 * AES gets no ticket at all from a domain without RC4.
 */
final class ServiceAccount {
  private static final String TIMEOUT_MILLIS = "3000";
  // msDS-SupportedEncryptionTypes bits.
  private static final int RC4 = 0x4;
  private static final int AES = 0x8 | 0x10;
  private static final String[] READ = {"sAMAccountName", "msDS-KeyVersionNumber", "msDS-SupportedEncryptionTypes"};

  private ServiceAccount() {}

  /** The directory's view of each principal of the keytab, with a warning in words for each problem. */
  static void check(Section section, String domain, String realm) throws Exception {
    ServiceKeytab keytab = ServiceKeytab.find();
    if (keytab.unreadable() != null || keytab.principals().isEmpty()) {
      return;  // the keytab's own step says why
    }
    List<String[]> controllers = controllers(domain);
    if (controllers.isEmpty()) {
      // A realm without a directory (an MIT KDC's) is no fault; a directory that does not answer is.
      section.factLine("serviceAccount", null, "service account: not read (QUENTREL_LDAP_SERVERS is none, or DNS lists"
          + " no controller under _ldap._tcp.dc._msdcs." + domain + ")");
      return;
    }
    Subject service;
    try {
      service = login(keytab, realm);
    } catch (Failure e) {
      warn(section, e.getMessage());
      return;
    }
    List<String> tried = new ArrayList<>();
    for (String[] controller : controllers) {
      try {
        Map<String, Attributes> accounts = doAs(service, () -> read(controller, keytab.principals().keySet()));
        section.factLine("accountsReadFrom", controller[0], "service account read from " + controller[0] + ":"
            + controller[1] + " (SASL GSSAPI bind as the keytab's service, integrity-protected)");
        Set<String> allowsNoAes = new HashSet<>();
        accounts.forEach((principal, found) -> compare(section, keytab, principal, found, allowsNoAes));
        return;
      } catch (Exception e) {
        tried.add(controller[0] + ":" + controller[1] + " (" + Failure.describe(rootCause(e)) + ")");
      }
    }
    warn(section, "the service account was not read: no controller answered an authenticated LDAP read: "
        + String.join(", ", tried));
  }

  // QUENTREL_LDAP_SERVERS when set, as the library takes it, else the domain's SRV records:
  // each { host, port } by the name it is listed under, never one DNS turns it into.
  private static List<String[]> controllers(String domain) {
    String configured = LibrarySettings.table().stream().filter(row -> row.variable.equals("QUENTREL_LDAP_SERVERS"))
        .map(LibrarySettings.Setting::value).filter(value -> value != null && !value.isBlank()).findFirst().orElse(null);
    if (configured == null) {
      return DomainReport.listed(domain);
    }
    List<String[]> found = new ArrayList<>();
    for (String item : configured.split(",")) {
      String server = item.trim();
      if (server.isEmpty() || server.equalsIgnoreCase("none")) {
        continue;
      }
      int colon = server.lastIndexOf(':');
      found.add(colon > 0 ? new String[] {server.substring(0, colon), server.substring(colon + 1)}
          : new String[] {server, "389"});
    }
    return found;
  }

  // The service logs in from its keytab as the account's own name where the keytab holds it: a
  // controller gives ticket-granting tickets to account names, not to service names.
  private static Subject login(ServiceKeytab keytab, String realm) throws Failure {
    useKrb5Config();
    List<String> names = new ArrayList<>(keytab.principals().keySet());
    names.sort(Comparator.comparing(name -> name.contains("/")));
    List<String> refused = new ArrayList<>();
    for (String name : names) {
      if (!name.endsWith("@" + realm)) {
        continue;
      }
      Subject subject = new Subject();
      try {
        new LoginContext("quentrel-doctor", subject, null, keytabLogin(keytab.path(), name)).login();
        return subject;
      } catch (LoginException e) {
        refused.add(name + " (" + e.getMessage() + ")");
      }
    }
    throw new Failure("the service account was not read: no principal of the keytab got a ticket of " + realm + ": "
        + (refused.isEmpty() ? "none is of that realm" : String.join(", ", refused)));
  }

  // The JDK reads one krb5.conf, which KRB5_CONFIG does not name for it.
  static void useKrb5Config() {
    if (System.getProperty("java.security.krb5.conf") != null) {
      return;
    }
    for (String file : ServiceKeytab.krb5ConfigFiles().split(":")) {
      if (Files.isReadable(Paths.get(file))) {
        System.setProperty("java.security.krb5.conf", file);
        return;
      }
    }
  }

  private static Configuration keytabLogin(String keytab, String principal) {
    Map<String, String> options = new HashMap<>();
    options.put("useKeyTab", "true");
    options.put("keyTab", keytab);
    options.put("principal", principal);
    options.put("storeKey", "false");
    options.put("doNotPrompt", "true");
    options.put("isInitiator", "true");
    options.put("refreshKrb5Config", "true");
    AppConfigurationEntry entry = new AppConfigurationEntry("com.sun.security.auth.module.Krb5LoginModule",
        AppConfigurationEntry.LoginModuleControlFlag.REQUIRED, options);
    return new Configuration() {
      @Override
      public AppConfigurationEntry[] getAppConfigurationEntry(String name) {
        return new AppConfigurationEntry[] {entry};
      }
    };
  }

  @SuppressWarnings("removal")
  static <T> T doAs(Subject subject, PrivilegedExceptionAction<T> action) throws Exception {
    try {
      return Subject.doAs(subject, action);
    } catch (java.security.PrivilegedActionException e) {
      throw e.getException();
    }
  }

  // Each keytab principal's account: by its service principal name, or by the account name a
  // principal without a service part is.
  private static Map<String, Attributes> read(String[] controller, Iterable<String> principals) throws NamingException {
    Hashtable<String, String> env = new Hashtable<>();
    env.put(Context.INITIAL_CONTEXT_FACTORY, "com.sun.jndi.ldap.LdapCtxFactory");
    env.put(Context.PROVIDER_URL, "ldap://" + controller[0] + ":" + controller[1]);
    env.put(Context.SECURITY_AUTHENTICATION, "GSSAPI");
    // Integrity at least: a bind without a security layer is refused before any read.
    env.put("javax.security.sasl.qop", "auth-conf,auth-int");
    env.put("javax.security.sasl.server.authentication", "true");
    env.put("com.sun.jndi.ldap.connect.timeout", TIMEOUT_MILLIS);
    env.put("com.sun.jndi.ldap.read.timeout", TIMEOUT_MILLIS);
    DirContext ldap = new InitialDirContext(env);
    try {
      Attribute base = ldap.getAttributes("", new String[] {"defaultNamingContext"}).get("defaultNamingContext");
      if (base == null) {
        throw new NamingException("its rootDSE names no defaultNamingContext");
      }
      SearchControls controls = new SearchControls(SearchControls.SUBTREE_SCOPE, 2, 0, READ, false, false);
      Map<String, Attributes> found = new LinkedHashMap<>();
      for (String principal : principals) {
        String name = principal.substring(0, principal.lastIndexOf('@'));
        String filter = name.contains("/") ? "(servicePrincipalName={0})" : "(sAMAccountName={0})";
        NamingEnumeration<SearchResult> results = ldap.search(String.valueOf(base.get()), filter, new Object[] {name},
            controls);
        found.put(principal, results.hasMore() ? results.next().getAttributes() : null);
        results.close();
      }
      return found;
    } finally {
      ldap.close();
    }
  }

  // A key version per principal; the encryption types once per account, which several principals share.
  private static void compare(Section section, ServiceKeytab keytab, String principal, Attributes account,
      Set<String> allowsNoAes) {
    if (account == null) {
      warn(section, principal + " is no account's name in the directory: this keytab serves another domain, or the"
          + " service principal name was removed from its account");
      return;
    }
    String name = text(account, "sAMAccountName");
    Integer kvno = number(account, "msDS-KeyVersionNumber");
    Integer enctypes = number(account, "msDS-SupportedEncryptionTypes");
    int newest = keytab.newestKvno(principal);
    Map<String, Object> json = new LinkedHashMap<>();
    json.put("principal", principal);
    json.put("account", name);
    json.put("kvno", kvno);
    json.put("keytabKvno", newest);
    json.put("supportedEncryptionTypes", enctypes);
    section.item("serviceAccounts", json, "service account of " + principal + ": " + name + ", kvno " + kvno
        + ", msDS-SupportedEncryptionTypes " + enctypeText(enctypes));
    if (kvno != null && newest < kvno) {
      warn(section, "the keytab's newest key of " + principal + " is kvno " + newest + ", but the directory's " + name
          + " is at kvno " + kvno + ": its password changed after the keytab was made, so tickets for it cannot be"
          + " read; export its keys anew (net ads keytab create, or ktpass with the new password)");
    }
    if (enctypes != null && enctypes != 0 && (enctypes & AES) == 0 && allowsNoAes.add(name)) {
      warn(section, name + " allows no AES (msDS-SupportedEncryptionTypes " + enctypeText(enctypes) + "): a domain"
          + " without RC4 issues no ticket for it; set it to 0x18 (AES128 and AES256), change its password and"
          + " export its keys anew");
    }
  }

  private static String enctypeText(Integer value) {
    if (value == null || value == 0) {
      return "not set (the controllers' default applies)";
    }
    List<String> names = new ArrayList<>();
    String[] bits = {"DES-CBC-CRC", "DES-CBC-MD5", "RC4", "AES128", "AES256"};
    for (int i = 0; i < bits.length; i++) {
      if ((value & (1 << i)) != 0) {
        names.add(bits[i]);
      }
    }
    return String.format(Locale.ROOT, "0x%x", value) + (names.isEmpty() ? "" : " (" + String.join(", ", names) + ")")
        + ((value & RC4) != 0 && (value & AES) != 0 ? ", RC4 still allowed" : "");
  }

  private static String text(Attributes attributes, String name) {
    try {
      Attribute value = attributes.get(name);
      return value == null ? null : String.valueOf(value.get());
    } catch (NamingException e) {
      return null;
    }
  }

  private static Integer number(Attributes attributes, String name) {
    String value = text(attributes, name);
    try {
      return value == null ? null : Integer.valueOf(value.trim());
    } catch (NumberFormatException e) {
      return null;
    }
  }

  private static void warn(Section section, String warning) {
    section.item("warnings", warning, "warning: " + warning);
  }

  static Throwable rootCause(Throwable thrown) {
    Throwable cause = thrown;
    while (cause.getCause() != null && cause.getCause() != cause) {
      cause = cause.getCause();
    }
    return cause;
  }
}
