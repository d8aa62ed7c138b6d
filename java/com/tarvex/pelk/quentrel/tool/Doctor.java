package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.Extensions;
import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.WinAuthException;
import com.tarvex.pelk.quentrel.WinUtil;
import com.tarvex.pelk.quentrel.http.LibrarySettings;
import com.tarvex.pelk.quentrel.http.ServiceKeytab;
import java.io.File;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;

/** One report of what the library sees on this host, each part of it checked on its own. */
final class Doctor {
  // ISC_REQ_DELEGATE, and ISC_RET_DELEGATE when the client did delegate.
  private static final int DELEGATE = 0x1;
  static final List<String> DEFAULT_GROUPS = List.of("BUILTIN\\Users", "BUILTIN\\Administrators");

  private Doctor() {}

  static Report run(String packageName, List<String> groups) {
    Report report = new Report("doctor");
    report.runAlways("library", "Native library", Doctor::library);
    report.run("hostNames", "Host names", Checks::hostNames);
    report.run("domainController", "Domain controller", Checks::domainController);
    if (KerberosSetup.systemWorld()) {
      report.run("settings", "Settings", Settings::report);
      report.run("domain", "Domain", DomainReport::run);
      report.run("keytab", "Service keytab", Doctor::keytab);
    }
    report.run("productPaths", "Product paths", section -> Checks.productPaths(section, null));
    Loopback loopback = new Loopback(packageName, null, Loopback.DEFAULT_FLAGS, false, List.of());
    if (KerberosSetup.systemWorld()) {
      report.run("loopback", "Loopback authentication", section -> systemLoopback(section, loopback));
      report.run("delegation", "Delegation", section -> delegation(section, packageName));
      // The loopback's client is the principal of the ticket cache, not the process's account.
      report.run("processUser", "Process user", section -> processUser(section, System.getProperty("user.name"),
          groups));
    } else {
      report.run("loopback", "Loopback authentication", loopback::run);
      report.run("processUser", "Process user", section -> processUser(section, loopback.clientName(), groups));
    }
    return report;
  }

  // A server with no key of an HTTP service (or of the principals it is told to accept) signs
  // nobody on: unlike a missing ticket, which only the loopback needs, that fails the report.
  private static void keytab(Section section) throws Failure {
    ServiceKeytab keytab = ServiceKeytab.find();
    section.fact("keytab", "keytab", keytab.path());
    String problem = keytab.problem(LibrarySettings.value("QUENTREL_ACCEPT_PRINCIPALS"));
    if (problem != null) {
      throw new Failure(problem);
    }
    section.factLine("holds", keytab.summary(), "holds: " + keytab.summary());
  }

  // Without a realm, a ticket or a keytab there is nothing to authenticate with: the machine is
  // set up for something else, which the report says without failing.
  private static void systemLoopback(Section section, Loopback loopback) throws Exception {
    List<String> missing = KerberosSetup.missing();
    if (missing.isEmpty()) {
      loopback.run(section);
      return;
    }
    for (String line : missing) {
      section.item("missing", line, "missing: " + line);
    }
    section.factLine("run", false, "not run: this host has no Kerberos set-up for it, which is no fault of the library");
  }

  // Whether clients hand this service their tickets: a loopback whose client asks to delegate.
  // The KDC marks a service trusted for delegation with ok-as-delegate, and a client forwards its
  // ticket only to such a service. Constrained delegation (S4U2Proxy) is the directory's to allow,
  // and shows only when the service authenticates onward.
  private static void delegation(Section section, String packageName) throws Exception {
    // The setting as the library's own table gives it: its value here, else its default, with the
    // table's words for what each choice keeps.
    LibrarySettings.Setting setting = LibrarySettings.named("QUENTREL_DELEGATION");
    String kept = setting == null ? null : setting.effective();
    section.factLine("kept", kept, setting == null ? "delegated credentials: as the library's default (this jar carries"
        + " no settings table)"
        : kept.equals(setting.fallback) ? "delegated credentials: kept with their server context, in memory, with"
            + " evidence for constrained delegation"
        : "delegated credentials: QUENTREL_DELEGATION=" + Section.printable(kept) + " (" + setting.meaning + ")");
    section.factLine("refusedByDesign", "protected-users,sensitive,credential-guard", "second hops that no setting"
        + " here allows: clients in Protected Users and accounts marked sensitive and cannot be delegated (their"
        + " tickets are not forwardable, so nothing is kept: Platform error 8009030e), and Windows clients under"
        + " Credential Guard, which forward no ticket (use constrained delegation for them); a constrained delegation"
        + " the domain does not allow fails with 8009035e");
    if (!KerberosSetup.missing().isEmpty()) {
      section.factLine("run", false, "not run: this host has no Kerberos set-up for it");
      return;
    }
    int server = 0;
    int client = 0;
    try {
      server = SSPI.CreateContext(false, 0, packageName, null);
      client = SSPI.CreateContext(true, DELEGATE | Loopback.DEFAULT_FLAGS, packageName, null);
      Loopback.exchange(null, client, server);
      boolean forwarded = (SSPI.GetNegotiatedAttributes(client) & DELEGATE) != 0;
      section.factLine("trusted", forwarded, forwarded
          ? "trusted for delegation: yes (the KDC marks the service ok-as-delegate, so clients that ask forward"
              + " their tickets to it)"
          : "trusted for delegation: no (this client did not forward its ticket: the service is not marked"
              + " ok-as-delegate, or the ticket is not forwardable); constrained delegation needs no such mark");
      if (!forwarded) {
        limitedClient(section, server);
      }
    } finally {
      if (client != 0) {
        SSPI.FreeHandle(client);
      }
      if (server != 0) {
        SSPI.FreeHandle(server);
      }
    }
  }

  // A client in Protected Users, or whose account is marked sensitive, forwards nothing wherever it
  // signs on: its domain tells.
  private static void limitedClient(Section section, int server) {
    try {
      int limits = Extensions.GetDelegationLimit(server);
      if ((limits & (Extensions.PROTECTED_USERS | Extensions.NOT_DELEGATED)) == 0) {
        return;
      }
      String client = SSPI.GetClientUserName(server);
      if ((limits & Extensions.PROTECTED_USERS) != 0) {
        section.factLine("clientProtected", client, "this client, " + client + ", is in Protected Users: its tickets"
            + " are never delegated, so the answer above says nothing of the service; ask as another user");
      } else {
        section.factLine("clientNotDelegated", client, "this client, " + client + ", is sensitive and cannot be"
            + " delegated: its tickets are never forwardable, so the answer above says nothing of the service; ask as"
            + " another user");
      }
    } catch (WinAuthException e) {
      // a client with no token to read: nothing to tell
    }
  }

  private static void library(Section section) throws Exception {
    section.fact("java", "Java", System.getProperty("java.vm.name") + " " + System.getProperty("java.version"));
    section.fact("platform", "platform", System.getProperty("os.name") + " " + System.getProperty("os.arch"));
    section.fact("source", "loaded from", librarySource());
    Throwable failure = Library.load();
    if (failure instanceof LinkageError) {
      throw (LinkageError) failure;
    }
    if (failure != null) {
      throw (Exception) failure;
    }
    world(section);
  }

  // Away from Windows the library answers from this machine's own services, unless it is the test
  // build that runs on the simulated host.
  private static void world(Section section) {
    if (System.getProperty("os.name", "").startsWith("Windows")) {
      return;
    }
    if (KerberosSetup.simulatedHost()) {
      section.factLine("world", "simulated", "world: simulated (the stand-in host's own accounts, names and packages)");
      return;
    }
    section.factLine("world", "system", "world: system (this machine's accounts, groups, names and domain)");
    section.fact("packages", "security packages", KerberosSetup.packages());
  }

  // The JVM takes the library from java.library.path when it is there, else the package extracts
  // the copy in its jar; a library on the path is where the JVM finds it first.
  private static String librarySource() {
    String file = System.mapLibraryName("quentrel");
    for (String folder : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
      if (!folder.isEmpty() && Files.isRegularFile(Paths.get(folder, file))) {
        return Paths.get(folder, file).toAbsolutePath().toString();
      }
    }
    return "the copy in the jar";
  }

  // The process user is the client the loopback authenticated; a name of this computer's own
  // accounts comes back without a qualifier, and a user context needs one.
  private static void processUser(Section section, String clientName, List<String> groups) throws Exception {
    if (clientName == null) {
      throw new Failure("not run: the loopback authentication did not name the process user");
    }
    String account = clientName;
    if (!account.contains("\\")) {
      String computer = WinUtil.GetComputerNameNetBIOS();
      if (computer == null) {
        throw new Failure("the computer's NetBIOS name, which qualifies a local account, cannot be read");
      }
      account = computer + "\\" + clientName;
    }
    section.fact("account", "account", account);
    Checks.sid(section, account);
    Checks.membership(section, account, groups);
  }
}
