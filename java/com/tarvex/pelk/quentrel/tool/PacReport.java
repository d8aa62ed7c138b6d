package com.tarvex.pelk.quentrel.tool;

import com.sun.security.jgss.AuthorizationDataEntry;
import com.sun.security.jgss.ExtendedGSSContext;
import com.sun.security.jgss.InquireType;
import com.tarvex.pelk.quentrel.http.ServiceKeytab;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import javax.security.auth.Subject;
import javax.security.auth.login.AppConfigurationEntry;
import javax.security.auth.login.Configuration;
import javax.security.auth.login.LoginContext;
import javax.security.auth.login.LoginException;
import org.ietf.jgss.GSSContext;
import org.ietf.jgss.GSSCredential;
import org.ietf.jgss.GSSManager;
import org.ietf.jgss.GSSName;
import org.ietf.jgss.Oid;

/**
 * What the PAC of this host's clients carries, and which of its signatures anyone here can check.
 * No Windows or GSSAPI call shows a context's PAC signatures, so the report makes its own ticket:
 * the ticket cache's client asks for the keytab's service, and the JDK's Kerberos accepts that
 * ticket in-process with the keytab and hands over its authorization data. The library's own
 * acceptor reads the same ticket through the system's GSSAPI.
 */
final class PacReport {
  private static final int SERVER_SIGNATURE = 6;
  private static final int KDC_SIGNATURE = 7;
  private static final int TICKET_SIGNATURE = 16;
  private static final int FULL_SIGNATURE = 19;
  private static final int LOGON_INFO = 1;
  private static final Map<Integer, String> NAMES = names();

  private PacReport() {}

  private static Map<Integer, String> names() {
    Map<Integer, String> names = new HashMap<>();
    names.put(LOGON_INFO, "logon information");
    names.put(2, "credentials");
    names.put(SERVER_SIGNATURE, "server signature");
    names.put(KDC_SIGNATURE, "KDC signature");
    names.put(10, "client name and ticket time");
    names.put(11, "constrained delegation");
    names.put(12, "UPN and DNS names");
    names.put(13, "client claims");
    names.put(14, "device information");
    names.put(15, "device claims");
    names.put(TICKET_SIGNATURE, "ticket signature");
    names.put(17, "attributes");
    names.put(18, "requestor");
    names.put(FULL_SIGNATURE, "full PAC signature");
    return names;
  }

  /** The section: never failed by a realm without a PAC, nor by the JDK's Kerberos refusing to help. */
  static void run(Section section) {
    if (!KerberosSetup.missing().isEmpty()) {
      section.factLine("run", false, "not run: this host has no Kerberos set-up for it");
      return;
    }
    String service = service(ServiceKeytab.find());
    String cache = KerberosSetup.cacheFile();
    if (service == null || cache == null) {
      section.factLine("run", false, service == null ? "not run: the keytab holds no service principal"
          : "not run: the ticket cache is no file, and the JDK's Kerberos reads only files");
      return;
    }
    List<PacBlob.Element> data;
    try {
      data = authorizationData(section, cache, service);
    } catch (Exception e) {
      section.factLine("run", false, "not read: the JDK's Kerberos could not make and accept a ticket for " + service
          + ": " + Failure.describe(ServiceAccount.rootCause(e)).trim()
          + " (the library's own sign-on does not depend on it)");
      return;
    }
    try {
      byte[] pac = PacBlob.findPac(data);
      if (pac == null) {
        section.factLine("present", false, "PAC: none in the ticket (a realm without one, such as an MIT KDC's"
            + " without PAC support): the client gets the name mapping's token");
        return;
      }
      describe(section, PacBlob.buffers(pac));
    } catch (Failure e) {
      section.item("warnings", e.getMessage(), "warning: " + e.getMessage() + "; the library refuses such a PAC");
    }
  }

  // The keytab's HTTP service where it has one, else its first service; its key accepts the ticket.
  private static String service(ServiceKeytab keytab) {
    String found = null;
    for (String principal : keytab.principals().keySet()) {
      if (principal.startsWith("HTTP/")) {
        return principal;
      }
      if (found == null && principal.contains("/")) {
        found = principal;
      }
    }
    return found;
  }

  private static void describe(Section section, List<PacBlob.Buffer> buffers) {
    Set<Integer> types = new TreeSet<>();
    List<String> listed = new ArrayList<>();
    for (PacBlob.Buffer buffer : buffers) {
      types.add(buffer.type);
      listed.add(NAMES.getOrDefault(buffer.type, "type " + buffer.type) + " (" + buffer.type + ", " + buffer.size
          + " bytes)");
    }
    section.factLine("bufferTypes", List.copyOf(types), "buffers: " + String.join(", ", listed));
    List<String> present = named(types, SERVER_SIGNATURE, "server", KDC_SIGNATURE, "KDC", TICKET_SIGNATURE, "ticket",
        FULL_SIGNATURE, "full PAC");
    section.factLine("signatures", present, "signatures present: " + (present.isEmpty() ? "none"
        : String.join(", ", present)));
    signatureWords(section, types);
    if (!types.contains(LOGON_INFO)) {
      section.factLine("logonInfo", false, "no logon information (a minimal PAC, as MIT KDCs from 1.20 issue): the"
          + " client gets the name mapping's token, not one from the PAC");
    }
  }

  // Which of the signatures this host checks, and which only a domain controller can.
  private static void signatureWords(Section section, Set<Integer> types) {
    if (types.contains(SERVER_SIGNATURE)) {
      section.factLine("checkedHere", List.of("server"), "checked here: the server's signature, with the service's"
          + " own key, by GSSAPI whenever the library accepts a ticket; GSSAPI refuses a PAC whose server signature"
          + " does not verify, and the library then uses no PAC");
    } else {
      section.factLine("checkedHere", List.of(), "checked here: nothing, the PAC has no server signature: GSSAPI"
          + " cannot authenticate it, so the library uses no PAC and the client gets the name mapping's token");
    }
    List<String> kdcKeyed = named(types, KDC_SIGNATURE, "KDC", TICKET_SIGNATURE, "ticket", FULL_SIGNATURE, "full PAC");
    if (!kdcKeyed.isEmpty()) {
      List<String> words = named(types, KDC_SIGNATURE, "the KDC's", TICKET_SIGNATURE, "the ticket",
          FULL_SIGNATURE, "the full PAC");
      String last = words.remove(words.size() - 1);
      String subject = words.isEmpty() ? last + " signature is" : String.join(", ", words) + " and " + last
          + " signatures are";
      section.factLine("checkedByControllerOnly", kdcKeyed, "not checked here: " + subject + " keyed with the"
          + " domain's krbtgt key, which a member server does not have; only a domain controller can check "
          + (words.isEmpty() ? "it" : "them"));
    }
  }

  // The words of the types present, in the order given as { type, word } pairs.
  private static List<String> named(Set<Integer> types, Object... pairs) {
    List<String> words = new ArrayList<>();
    for (int i = 0; i < pairs.length; i += 2) {
      if (types.contains((Integer) pairs[i])) {
        words.add((String) pairs[i + 1]);
      }
    }
    return words;
  }

  // A ticket from the cache's client for the service, accepted with the keytab: its authorization data.
  private static List<PacBlob.Element> authorizationData(Section section, String cache, String service)
      throws Exception {
    ServiceAccount.useKrb5Config();
    Subject client = login("useTicketCache", "ticketCache", cache, true);
    Subject server = login("useKeyTab", "keyTab", ServiceKeytab.file(), false);
    GSSManager manager = GSSManager.getInstance();
    Oid krb5 = new Oid("1.2.840.113554.1.2.2");
    byte[] token = ServiceAccount.doAs(client, () -> {
      GSSName name = manager.createName(service, new Oid("1.2.840.113554.1.2.2.1"));
      GSSContext context = manager.createContext(name, krb5, null, GSSContext.DEFAULT_LIFETIME);
      try {
        return context.initSecContext(new byte[0], 0, 0);
      } finally {
        context.dispose();
      }
    });
    return ServiceAccount.doAs(server, () -> {
      GSSCredential credential = manager.createCredential(null, GSSCredential.INDEFINITE_LIFETIME, krb5,
          GSSCredential.ACCEPT_ONLY);
      GSSContext context = manager.createContext(credential);
      try {
        context.acceptSecContext(token, 0, token.length);
        section.data("client", String.valueOf(context.getSrcName()));
        section.factLine("service", service, "ticket: " + context.getSrcName() + " for " + service + ", accepted"
            + " here by the JDK's Kerberos with the keytab");
        return elements((AuthorizationDataEntry[]) ((ExtendedGSSContext) context).inquireSecContext(
            InquireType.KRB5_GET_AUTHZ_DATA));
      } finally {
        context.dispose();
        credential.dispose();
      }
    });
  }

  private static List<PacBlob.Element> elements(AuthorizationDataEntry[] entries) {
    List<PacBlob.Element> elements = new ArrayList<>();
    for (AuthorizationDataEntry entry : entries == null ? new AuthorizationDataEntry[0] : entries) {
      elements.add(new PacBlob.Element(entry.getType(), entry.getData()));
    }
    return elements;
  }

  // A JAAS-free login: the client from the ticket cache, the service from the keytab (any of its
  // principals, so the one the ticket names is taken).
  private static Subject login(String use, String option, String file, boolean initiator) throws LoginException {
    Map<String, String> options = new LinkedHashMap<>();
    options.put(use, "true");
    options.put(option, file);
    options.put("doNotPrompt", "true");
    options.put("refreshKrb5Config", "true");
    options.put("isInitiator", String.valueOf(initiator));
    if (!initiator) {
      options.put("principal", "*");
      options.put("storeKey", "true");
    }
    AppConfigurationEntry entry = new AppConfigurationEntry("com.sun.security.auth.module.Krb5LoginModule",
        AppConfigurationEntry.LoginModuleControlFlag.REQUIRED, options);
    Subject subject = new Subject();
    new LoginContext("quentrel-doctor", subject, null, new Configuration() {
      @Override
      public AppConfigurationEntry[] getAppConfigurationEntry(String name) {
        return new AppConfigurationEntry[] {entry};
      }
    }).login();
    return subject;
  }
}
