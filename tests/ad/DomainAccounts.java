import com.tarvex.pelk.quentrel.UserAuth;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.HashMap;
import java.util.Map;

/**
 * Domain accounts through UserAuth beside the throwaway AD domain of tests/ad/with-domain.sh: each
 * name's SID against the one the domain's own database gives (AD_ACCOUNTS), each account's answer
 * for each group, then the controller stopped: names asked for before still answer from the
 * cache, and what needs the controller fails with Windows' code. Prints one line per check;
 * "FAIL" marks a failed one.
 *   DomainAccounts controllers   a host with only the service's keytab: LDAP, S4U2Self
 *   DomainAccounts winbind       the domain's winbindd, reached through nss_wrapper; no keytab
 */
public final class DomainAccounts {
  private static int failures;
  private static boolean winbind;
  private static final Map<String, String> SIDS = new HashMap<>();

  private DomainAccounts() {}

  // Name, and the account of the domain's database whose SID it must give (null: none).
  private static final String[][] NAMES = {
    {"SAMDOM\\alice", "alice"},
    {"samdom\\ALICE", "alice"},
    {"alice@samdom.test", "alice"},
    {"alice", "alice"},  // no local account has the name: the computer's domain's
    {"SAMDOM\\Engineers", "Engineers"},
    {"SAMDOM\\Staff", "Staff"},
    {"SAMDOM\\Printers", "Printers"},
    {"SAMDOM\\Domain Users", "Domain Users"},
    {"SAMDOM\\carol", "carol"},
    {"SAMDOM\\nosuch", null},
    // The directory would read up to the NUL and find alice: the whole name is nobody's.
    {"SAMDOM\\alice\u0000junk", null},
    {"nosuch@samdom.test", null},
    {"NOSUCHDOMAIN\\alice", null},
  };

  // Account, group, the answer on a keytab-only host, the answer through winbind.
  private static final String[][] MEMBERSHIP = {
    {"SAMDOM\\alice", "SAMDOM\\Engineers", "yes", "yes"},
    // Staff holds Engineers. The DC's own winbindd reports direct memberships only.
    {"SAMDOM\\alice", "SAMDOM\\Staff", "yes", "no"},
    {"SAMDOM\\alice", "SAMDOM\\Printers", "yes", "yes"},  // a domain-local group
    {"SAMDOM\\alice", "SAMDOM\\Domain Users", "yes", "yes"},
    {"SAMDOM\\alice", "BUILTIN\\Users", "yes", "yes"},
    {"SAMDOM\\alice", "BUILTIN\\Administrators", "no", "no"},
    {"SAMDOM\\alice", "SAMDOM\\Domain Admins", "no", "no"},
    {"samdom\\ALICE", "samdom\\engineers", "yes", "yes"},
    {"SAMDOM\\bob", "SAMDOM\\Staff", "yes", "yes"},
    {"SAMDOM\\bob", "SAMDOM\\Engineers", "no", "no"},
    {"SAMDOM\\carol", "SAMDOM\\Staff", "no", "no"},
    {"SAMDOM\\carol", "SAMDOM\\Domain Users", "yes", "yes"},
    {"SAMDOM\\dave", "SAMDOM\\Domain Admins", "yes", "yes"},
    {"SAMDOM\\dave", "BUILTIN\\Administrators", "yes", "yes"},
    {"SAMDOM\\alice", "SAMDOM\\nosuch", "GroupNotFoundException", "GroupNotFoundException"},
    {"SAMDOM\\alice", "SAMDOM\\bob", "GroupNotFoundException", "GroupNotFoundException"},
    // Unqualified, a group must be this computer's or the built-in domain's.
    {"SAMDOM\\alice", "Engineers", "GroupNotFoundException", "GroupNotFoundException"},
    {"SAMDOM\\nosuch", "SAMDOM\\Staff", "UserNotFoundException", "UserNotFoundException"},
    // A group has no Authz context: ERROR_NO_SUCH_USER.
    {"SAMDOM\\Engineers", "SAMDOM\\Staff", "WinAuthException: Platform error: 00000525",
     "WinAuthException: Platform error: 00000525"},
  };

  static void check(String name, String expected, String got) {
    boolean same = expected == null ? got == null : expected.equals(got);
    if (!same) failures++;
    System.out.println((same ? "ok " : "FAIL ") + name + ": " + got + (same ? "" : ", expected " + expected));
  }

  static String failure(Throwable t) {
    String message = t.getMessage();
    return t.getClass().getSimpleName() + (message == null || message.isEmpty() ? "" : ": " + message);
  }

  // "yes", "no", or the exception of creating the context or of asking.
  static String member(String account, String group) {
    int handle;
    try {
      handle = UserAuth.CreateUserContext(account);
    } catch (Exception e) {
      return failure(e);
    }
    try {
      return UserAuth.IsGroupMember(handle, group) ? "yes" : "no";
    } catch (Exception e) {
      return failure(e);
    } finally {
      UserAuth.FreeHandle(handle);
    }
  }

  static String run(String... command) throws Exception {
    ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
    Process process = builder.start();
    StringBuilder output = new StringBuilder();
    try (BufferedReader reader =
        new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
      for (String line; (line = reader.readLine()) != null; ) output.append(line).append('\n');
    }
    if (process.waitFor() != 0) throw new IllegalStateException(String.join(" ", command) + ": " + output);
    return output.toString();
  }

  // The SID the domain's own database gives an account: with-domain.sh's list of them.
  static String databaseSid(String account) throws Exception {
    if (SIDS.isEmpty()) {
      for (String line : Files.readAllLines(Paths.get(System.getenv("AD_ACCOUNTS")), StandardCharsets.UTF_8)) {
        int space = line.indexOf(' ');
        if (space > 0) SIDS.put(line.substring(space + 1), line.substring(0, space));
      }
    }
    String sid = SIDS.get(account);
    if (sid == null) throw new IllegalStateException("the domain has no account " + account);
    return sid;
  }

  public static void main(String[] args) throws Exception {
    winbind = args[0].equals("winbind");
    for (String[] row : NAMES) {
      check("SID of " + row[0], row[1] == null ? null : databaseSid(row[1]), UserAuth.GetUserSID(row[0]));
    }
    for (String[] row : MEMBERSHIP) {
      check(row[0] + " member of " + row[1], winbind ? row[3] : row[2], member(row[0], row[1]));
    }

    // The controller stops (winbindd with it). A context made before keeps its groups, and the
    // names asked for before are still known: neither needs the network.
    int alice = UserAuth.CreateUserContext("SAMDOM\\alice");
    run("kill", "-TERM", "--", "-" + System.getenv("AD_SAMBA_PID"));
    for (int waited = 0; waited < 50 && run("sh", "-c", "kill -0 " + System.getenv("AD_SAMBA_PID")
        + " 2>/dev/null && echo up || echo down").startsWith("up"); waited++) {
      Thread.sleep(100);
    }
    check("DC stopped: SID of SAMDOM\\alice", databaseSid("alice"), UserAuth.GetUserSID("SAMDOM\\alice"));
    try {
      check("DC stopped: SAMDOM\\alice member of SAMDOM\\Engineers", "yes",
          UserAuth.IsGroupMember(alice, "SAMDOM\\Engineers") ? "yes" : "no");
    } finally {
      UserAuth.FreeHandle(alice);
    }
    // A name never asked for; a new context, whose groups only the directory knows: no logon
    // server (1311), or a winbindd that no longer answers (1722).
    check("DC stopped: SID of SAMDOM\\Guest", null, UserAuth.GetUserSID("SAMDOM\\Guest"));
    check("DC stopped: new context of SAMDOM\\alice",
        "WinAuthException: Platform error: " + (winbind ? "000006ba" : "0000051f"),
        member("SAMDOM\\alice", "SAMDOM\\Engineers"));

    System.out.println(failures == 0 ? "all passed" : failures + " checks failed");
    System.exit(failures == 0 ? 0 : 1);
  }
}
