package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.WinUtil;
import java.io.File;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;

/** One report of what the library sees on this host, each part of it checked on its own. */
final class Doctor {
  static final List<String> DEFAULT_GROUPS = List.of("BUILTIN\\Users", "BUILTIN\\Administrators");

  private Doctor() {}

  static Report run(String packageName, List<String> groups) {
    Report report = new Report("doctor");
    report.runAlways("library", "Native library", Doctor::library);
    report.run("hostNames", "Host names", Checks::hostNames);
    report.run("domainController", "Domain controller", Checks::domainController);
    if (KerberosSetup.systemWorld()) {
      report.run("domain", "Domain", DomainReport::run);
    }
    report.run("productPaths", "Product paths", section -> Checks.productPaths(section, null));
    Loopback loopback = new Loopback(packageName, null, Loopback.DEFAULT_FLAGS, false, List.of());
    if (KerberosSetup.systemWorld()) {
      report.run("loopback", "Loopback authentication", section -> systemLoopback(section, loopback));
      // The loopback's client is the principal of the ticket cache, not the process's account.
      report.run("processUser", "Process user", section -> processUser(section, System.getProperty("user.name"),
          groups));
    } else {
      report.run("loopback", "Loopback authentication", loopback::run);
      report.run("processUser", "Process user", section -> processUser(section, loopback.clientName(), groups));
    }
    return report;
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
