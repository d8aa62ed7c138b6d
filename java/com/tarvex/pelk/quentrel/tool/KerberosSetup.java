package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.http.ServiceKeytab;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * What a loopback authentication needs on Linux, where the security packages are the system's
 * GSSAPI (MIT krb5): a default realm in krb5.conf, a ticket in the credential cache for the client
 * and a readable keytab for the server. A machine without them is set up for something else, not
 * broken; the doctor says what is missing and how to provide it. Found the way krb5 finds them:
 * KRB5_CONFIG, KRB5CCNAME and KRB5_KTNAME, else krb5.conf's defaults, else the system's.
 */
final class KerberosSetup {
  private KerberosSetup() {}

  /** True where the library calls the machine's own services: Linux, unless it runs on the test host. */
  static boolean systemWorld() {
    return !System.getProperty("os.name", "").startsWith("Windows") && !simulatedHost();
  }

  /**
   * Whether the loaded library runs on the simulated host of the tests, the stand-in host that
   * nothing shipped refers to: the process then maps libwinhost-simulated.so.
   */
  static boolean simulatedHost() {
    try {
      return Files.readAllLines(Paths.get("/proc/self/maps"), StandardCharsets.UTF_8).stream()
          .anyMatch(line -> line.endsWith("/libwinhost-simulated.so"));
    } catch (IOException e) {
      return false;
    }
  }

  /** The packages this machine's GSSAPI offers. */
  static String packages() {
    boolean ntlm = Files.isDirectory(Paths.get("/etc/gss/mech.d")) && listsNtlm();
    return "Kerberos, Negotiate (SPNEGO over Kerberos)" + (ntlm ? ", NTLM (gss-ntlmssp)" : "")
        + " through the system's GSSAPI";
  }

  /** One line per missing piece, each saying how to provide it; empty when nothing is missing. */
  static List<String> missing() {
    List<String> missing = new ArrayList<>();
    String realm = ServiceKeytab.krb5Setting("default_realm");
    if (realm == null) {
      missing.add("no default realm: " + ServiceKeytab.krb5ConfigFiles() + " names none; set default_realm in [libdefaults] and the"
          + " realm's kdc in [realms], or point KRB5_CONFIG at a krb5.conf that does");
    }
    String cache = cacheFile();
    if (cache != null && !Files.exists(Paths.get(cache))) {
      missing.add("no ticket: the credential cache " + cache + " does not exist; run kinit USER"
          + (realm == null ? "@REALM" : "@" + realm) + ", or set KRB5CCNAME to a cache that holds a ticket");
    }
    String keytab = ServiceKeytab.file();
    if (keytab != null && !Files.isReadable(Paths.get(keytab))) {
      missing.add("no keytab: " + keytab + " is missing or unreadable by this process; export the key of a"
          + " service principal such as HTTP/" + hostName() + " into it (kadmin: ktadd), or set KRB5_KTNAME to a"
          + " keytab that holds one");
    }
    return missing;
  }

  /** The ticket cache file a client uses, found as krb5 finds it; null for a cache that is no file. */
  static String cacheFile() {
    return ServiceKeytab.fileOf(System.getenv("KRB5CCNAME"), ServiceKeytab.krb5Setting("default_ccache_name"),
        "/tmp/krb5cc_" + ServiceKeytab.uid());
  }

  /** The default realm krb5.conf names; null when it names none. */
  static String defaultRealm() {
    return ServiceKeytab.krb5Setting("default_realm");
  }

  /** The keytab file a server uses, found as krb5 finds it; null for a keytab that is no file. */
  static String keytabFile() {
    return ServiceKeytab.file();
  }

  private static String hostName() {
    try {
      return java.net.InetAddress.getLocalHost().getCanonicalHostName();
    } catch (IOException e) {
      return "HOST";
    }
  }

  private static boolean listsNtlm() {
    try (var files = Files.list(Paths.get("/etc/gss/mech.d"))) {
      return files.map(Path::toString).anyMatch(name -> name.contains("ntlmssp"));
    } catch (IOException e) {
      return false;
    }
  }
}
