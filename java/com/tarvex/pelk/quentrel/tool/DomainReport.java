package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.WinUtil;
import com.tarvex.pelk.quentrel.http.ServiceKeytab;
import java.util.ArrayList;
import java.util.Hashtable;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.TreeSet;
import javax.naming.Context;
import javax.naming.NamingException;
import javax.naming.directory.Attribute;
import javax.naming.directory.Attributes;
import javax.naming.directory.DirContext;
import javax.naming.directory.InitialDirContext;

/**
 * The domain of a Linux host as a server in it sees it: the default realm's DNS domain, the
 * controller that answers (found as the library's own check finds one: DNS, then the rootDSE over
 * LDAP, here through the JDK's own DNS and LDAP clients), and the principals the keytab holds
 * keys for. A host outside any domain is no fault.
 */
final class DomainReport {
  private static final String TIMEOUT_MILLIS = "1500";
  private DomainReport() {}

  static void run(Section section) throws Exception {
    String realm = KerberosSetup.defaultRealm();
    if (realm == null) {
      section.factLine("domain", null, "domain: none (krb5.conf names no default realm)");
    } else {
      String domain = realm.toLowerCase(Locale.ROOT);
      section.fact("domain", "domain", domain);
      section.attempt("controller", () -> controller(section, domain));
    }
    section.attempt("keytab", () -> keytab(section));
    if (realm != null) {
      section.attempt("serviceAccount", () -> ServiceAccount.check(section, realm.toLowerCase(Locale.ROOT), realm));
    }
  }

  private static void controller(Section section, String domain) throws Failure {
    // The check the report made already, else one of its own: each asks DNS and the controllers.
    Integer checked = Checks.lastDcCode;
    int code = checked != null ? checked : WinUtil.GetDCCheckResultCode();
    if (code != 0) {
      section.factLine("controller", null, "controller: none answered (check code " + code + ")");
      return;
    }
    String fallback = "controller: one answered the library, but the JDK's DNS lists none under _ldap._tcp.dc._msdcs."
        + domain + " (a realm's KDC, not a directory)";
    for (String[] target : listed(domain)) {
      Map<String, Object> answer = rootDse(target[0], target[1]);
      if (answer != null) {
        section.factLine("controller", target[0], "controller: " + target[0] + " answered an LDAP read of its rootDSE"
            + " on port " + target[1] + " (" + answer.get("dnsHostName") + ", " + answer.get("defaultNamingContext")
            + ")");
        section.data("rootDse", answer);
        section.factLine("ldapProtection", "sasl-integrity", "directory lookups: SASL GSSAPI with a security layer over"
            + " ldap:// (signed and sealed, as controllers that require LDAP signing demand); no LDAPS, so LDAPS channel"
            + " binding (LdapEnforceChannelBinding) is not needed");
        return;
      }
      fallback = "controller: " + target[0] + " answered the library, not the JDK's LDAP client";
    }
    section.factLine("controller", null, fallback);
  }

  // The directory's controllers in DNS, by priority: { host, port }.
  static List<String[]> listed(String domain) {
    Hashtable<String, String> env = new Hashtable<>();
    env.put(Context.INITIAL_CONTEXT_FACTORY, "com.sun.jndi.dns.DnsContextFactory");
    env.put(Context.PROVIDER_URL, "dns:");
    env.put("com.sun.jndi.dns.timeout.initial", TIMEOUT_MILLIS);
    env.put("com.sun.jndi.dns.timeout.retries", "1");
    List<String[]> found = new ArrayList<>();
    try {
      DirContext dns = new InitialDirContext(env);
      try {
        Attribute srv = dns.getAttributes("_ldap._tcp.dc._msdcs." + domain, new String[] {"SRV"}).get("SRV");
        TreeSet<String> ranked = new TreeSet<>();
        for (int i = 0; srv != null && i < srv.size(); i++) {
          String[] fields = srv.get(i).toString().trim().split("\\s+");
          if (fields.length == 4 && !fields[3].equals(".")) {
            ranked.add(String.format("%05d %s %s", Integer.parseInt(fields[0]), fields[3].replaceAll("\\.$", ""),
                fields[2]));
          }
        }
        for (String entry : ranked) {
          String[] fields = entry.split(" ");
          found.add(new String[] {fields[1], fields[2]});
        }
      } finally {
        dns.close();
      }
    } catch (NamingException | NumberFormatException e) {
      // no listing the JDK can read
    }
    return found;
  }

  private static Map<String, Object> rootDse(String host, String port) {
    Hashtable<String, String> env = new Hashtable<>();
    env.put(Context.INITIAL_CONTEXT_FACTORY, "com.sun.jndi.ldap.LdapCtxFactory");
    env.put(Context.PROVIDER_URL, "ldap://" + host + ":" + port);
    env.put(Context.SECURITY_AUTHENTICATION, "none");
    env.put("com.sun.jndi.ldap.connect.timeout", TIMEOUT_MILLIS);
    env.put("com.sun.jndi.ldap.read.timeout", TIMEOUT_MILLIS);
    try {
      DirContext ldap = new InitialDirContext(env);
      try {
        Attributes read = ldap.getAttributes("", new String[] {"dnsHostName", "defaultNamingContext"});
        Map<String, Object> answer = new LinkedHashMap<>();
        for (String name : new String[] {"dnsHostName", "defaultNamingContext"}) {
          Attribute value = read.get(name);
          answer.put(name, value == null ? null : String.valueOf(value.get()));
        }
        return answer;
      } finally {
        ldap.close();
      }
    } catch (NamingException e) {
      return null;
    }
  }

  private static void keytab(Section section) throws Failure {
    ServiceKeytab keytab = ServiceKeytab.find();
    String file = keytab.path();
    if (keytab.unreadable() != null) {
      section.factLine("keytab", file, "keytab: " + (file == null ? "not a file" : file + " (" + keytab.unreadable() + ")"));
      return;
    }
    section.fact("keytab", "keytab", file);
    if (keytab.principals().isEmpty()) {
      throw new Failure("the keytab " + file + " holds no key");
    }
    keytab.principals().forEach((principal, keys) -> {
      Map<String, Object> json = new LinkedHashMap<>();
      json.put("principal", principal);
      json.put("keys", keys);
      section.item("principals", json, "keytab principal: " + principal + " (" + String.join(", ", keys) + ")");
      String warning = weakKeys(principal, keys);
      if (warning != null) {
        section.item("warnings", warning, "warning: " + warning);
      }
    });
  }

  // Words for a principal whose keys are none of AES: domains turn RC4 off for tickets (by default
  // from 2026, and Windows Server 2025 controllers issue no RC4 ticket-granting tickets), and a
  // service whose keytab holds RC4 alone then reads no ticket at all.
  static String weakKeys(String principal, List<String> keys) {
    if (keys.stream().anyMatch(key -> key.contains(" aes"))) {
      return null;
    }
    return principal + " has no AES key (" + String.join(", ", keys) + "): a domain without RC4 issues tickets this"
        + " keytab cannot read; allow AES on the service account (msDS-SupportedEncryptionTypes 0x18) and export its AES"
        + " keys anew (ktpass /crypto AES256-SHA1, or net ads keytab create)";
  }
}
