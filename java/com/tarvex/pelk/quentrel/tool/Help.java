package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.tool.Main.CommandLine;
import java.io.PrintStream;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.function.Function;

/**
 * The commands, each in one entry: its forms, its help text, its options, the arguments it takes
 * and what runs it.
 */
final class Help {
  private static final String RUN = "java -jar quentrel.jar";
  /** The command the tool runs when it is given none. */
  static final String DEFAULT_COMMAND = "doctor";

  /** What a command checks of its arguments, before anything runs. */
  interface Check {
    void check(CommandLine line) throws UsageException;
  }

  /** What runs a command: its exit status. */
  interface Run {
    int run(CommandLine line, PrintStream out, PrintStream err);
  }

  private static final class Command {
    final String synopsis;
    final String text;
    // Option name to whether it takes a value.
    final Map<String, Boolean> options = new LinkedHashMap<>();
    Check check = line -> line.require(line.positional.isEmpty(), "takes no arguments");
    Run run;

    Command(String synopsis, String text) {
      this.synopsis = synopsis;
      this.text = text;
    }

    Command option(String name, boolean takesValue) {
      options.put(name, takesValue);
      return this;
    }

    Command checks(Check argumentCheck) {
      check = argumentCheck;
      return this;
    }

    Command runs(Run runner) {
      run = runner;
      return this;
    }

    // A command that prints a report; the doctor's ends with a summary.
    Command reports(Function<CommandLine, Report> command, boolean summary) {
      run = (line, out, err) -> Main.print(line, command.apply(line), summary, out);
      return this;
    }
  }

  private static final Map<String, Command> COMMANDS = new LinkedHashMap<>();

  static {
    COMMANDS.put(DEFAULT_COMMAND, new Command(DEFAULT_COMMAND + " [--package NAME] [--group GROUP]...",
        "One report of what the library sees on this host, the default command. Its sections:\n"
            + "  Native library           the library loads (from java.library.path or from the jar)\n"
            + "  Host names               the computer's NetBIOS and fully qualified DNS names\n"
            + "  Domain controller        the domain-controller check code and its meaning\n"
            + "  Domain                   on Linux: the default realm's domain, the controller that\n"
            + "                           answered, the keytab's principals and their keys\n"
            + "  Product paths            the install path (or why there is none), the app-data folder\n"
            + "  Loopback authentication  the process user authenticated between a client and a server\n"
            + "                           context: each leg, the client name, the attributes, the\n"
            + "                           maximum token sizes, wrap and unwrap both ways,\n"
            + "                           impersonation, the server's context report\n"
            + "  The client's PAC         on Linux: a ticket for the keytab's service, accepted by the\n"
            + "                           JDK: its PAC's buffers, which signatures are present, which\n"
            + "                           this host checks and which only a domain controller can\n"
            + "  Process user             its SID, and a user context's answers for two groups\n"
            + "Each section says OK or what failed; the exit status is 0 only when all passed.\n\n"
            + "  --package NAME   the security package of the loopback (default Negotiate)\n"
            + "  --group GROUP    a group to ask about, instead of BUILTIN\\Users and\n"
            + "                   BUILTIN\\Administrators; give it once per group\n")
        .option("--package", true).option("--group", true)
        .reports(Main::doctor, true));
    COMMANDS.put("negotiate", new Command("negotiate [--package NAME] [--target SPN] [--flags N] [--group GROUP]...",
        "Authenticates the process user to itself between a client and a server context, and shows\n"
            + "each leg, the client name, the attributes, the maximum token sizes, a wrap and unwrap in\n"
            + "each direction, whether the server can impersonate the client, the client's membership\n"
            + "of each GROUP as the server's token of it answers, and both contexts' reports. On Linux\n"
            + "the client is the principal of the ticket cache and the server uses the keytab.\n\n"
            + "  --package NAME   the security package (default Negotiate)\n"
            + "  --target SPN     the client's target name (default none)\n"
            + "  --flags N        the client's context requirement flags, decimal or 0x hexadecimal\n"
            + "                   (default 0x81e: mutual authentication, replay and sequence detection,\n"
            + "                   confidentiality, connection)\n"
            + "  --group GROUP    a group to test the client's membership of (repeatable)\n")
        .option("--package", true).option("--target", true).option("--flags", true).option("--group", true)
        .checks(line -> {
          if (line.has("--flags")) {
            line.flags = line.parseNumber(line.option("--flags", null), "--flags");
          }
          line.require(line.positional.isEmpty(), "takes no arguments");
        })
        .reports(Main::negotiate, false));
    COMMANDS.put("serve", new Command("serve [--port N] [--bind ADDRESS] [--package NAME] [--group GROUP]..."
            + " [--spn SPN]...",
        "Starts an HTTP server that authenticates every request with Negotiate (HTTP status 401\n"
            + "and WWW-Authenticate: Negotiate until the client sends a token that authenticates it)\n"
            + "and answers who the client is, as JSON: its name, its SID and its membership of each\n"
            + "GROUP. One line per request goes to the standard output. Ctrl-C stops it. A connection\n"
            + "has " + Serve.REQUEST_SECONDS + " s to send its request and may stay idle " + Serve.IDLE_SECONDS
            + " s; at most " + Serve.MAX_CONNECTIONS + " are open\n"
            + "at once. It names at start each setting that lets more clients in than by default.\n\n"
            + "  --port N         the TCP port (default 8080; 0 picks a free one)\n"
            + "  --bind ADDRESS   the address to listen on (default: every interface)\n"
            + "  --package NAME   the security package (default Negotiate)\n"
            + "  --group GROUP    a group to answer for each client; give it once per group\n"
            + "  --spn SPN        on Linux, a service principal whose tickets the server accepts\n"
            + "                   (HTTP/host, HTTP/host@REALM; \"*\" for every key of the keytab);\n"
            + "                   give it once per principal. Default: the keytab's HTTP/ principals\n"
            + "                   when it has any, else all of them. It sets QUENTREL_ACCEPT_PRINCIPALS\n"
            + "                   for the server, which runs as a process of its own for it\n")
        .option("--port", true).option("--bind", true).option("--package", true).option("--group", true)
        .option("--spn", true)
        .checks(line -> {
          line.require(line.positional.isEmpty(), "takes no arguments");
          line.number = line.has("--port") ? line.parseNumber(line.option("--port", null), "--port") : 8080;
          line.require(line.number >= 0 && line.number <= 65535, "--port must be 0 to 65535");
        })
        .runs(Main::serve));
    COMMANDS.put("sid", new Command("sid NAME...",
        "Shows the SID of each account, group or alias, qualified (\"DOMAIN\\name\") or not.\n"
            + "A name that cannot be resolved fails.\n")
        .checks(line -> line.require(!line.positional.isEmpty(), "give at least one NAME"))
        .reports(Main::sid, false));
    COMMANDS.put("member", new Command("member ACCOUNT GROUP...",
        "Captures the groups of ACCOUNT (qualified: \"DOMAIN\\name\", the computer's name for a local\n"
            + "account) and tells whether it is a member of each GROUP. An account or group that does\n"
            + "not exist fails.\n")
        .checks(line -> line.require(line.positional.size() >= 2, "give an ACCOUNT and at least one GROUP"))
        .reports(Main::member, false));
    COMMANDS.put("reg", new Command("reg get KEY VALUE [--view64]\nreg set KEY VALUE TEXT [--view64]\n"
        + "reg set-int KEY VALUE N [--view64]",
        "Reads or writes a value under an existing key of HKEY_LOCAL_MACHINE (KEY is relative to it,\n"
            + "with backslashes). get shows any value as text up to its first NUL; set writes TEXT as\n"
            + "REG_SZ; set-int writes the four little-endian bytes of N as REG_SZ data. A write shows\n"
            + "how the value reads back. No key is ever created. On Linux the hive is the file\n"
            + "/var/lib/quentrel/registry.db, or the one $QUENTREL_REGISTRY names.\n\n"
            + "  --view64   use the 64-bit registry view (matters for a 32-bit process on 64-bit\n"
            + "             Windows)\n")
        .option("--view64", false)
        .checks(Help::checkRegistry)
        .reports(Main::registry, false));
    COMMANDS.put("paths", new Command("paths [FILE]",
        "Shows the product's install path (or why there is none) and its app-data folder, or the\n"
            + "path of FILE in that folder. The folder is created when it is missing.\n")
        .checks(line -> line.require(line.positional.size() <= 1, "give at most one FILE"))
        .reports(Main::paths, false));
    COMMANDS.put("host", new Command("host",
        "Shows the computer's NetBIOS and fully qualified DNS names and the domain-controller check\n"
            + "code with its meaning.\n")
        .reports(Main::host, false));
  }

  private static void checkRegistry(CommandLine line) throws UsageException {
    int count = line.positional.size();
    line.require(count >= 1, "give get, set or set-int");
    String action = line.positional.get(0);
    switch (action) {
      case "get":
        line.require(count == 3, "reg get needs KEY VALUE");
        break;
      case "set":
        line.require(count == 4, "reg set needs KEY VALUE TEXT");
        break;
      case "set-int":
        line.require(count == 4, "reg set-int needs KEY VALUE N");
        line.number = line.parseNumber(line.positional.get(3), "N");
        break;
      default:
        throw new UsageException(line.command, "unknown action '" + action + "': give get, set or set-int");
    }
  }

  private Help() {}

  static void check(CommandLine line) throws UsageException {
    COMMANDS.get(line.command).check.check(line);
  }

  static int run(CommandLine line, PrintStream out, PrintStream err) {
    return COMMANDS.get(line.command).run.run(line, out, err);
  }

  static boolean isCommand(String name) {
    return COMMANDS.containsKey(name);
  }

  static boolean hasOption(String command, String option) {
    return COMMANDS.get(command).options.containsKey(option);
  }

  static boolean optionTakesValue(String command, String option) {
    return COMMANDS.get(command).options.get(option);
  }

  /** The command's forms, one a line, each as it is typed. */
  static String synopsis(String command) {
    StringBuilder out = new StringBuilder();
    for (String form : COMMANDS.get(command).synopsis.split("\n")) {
      out.append(out.length() == 0 ? "" : "\n       ").append(RUN).append(" [--json] ").append(form);
    }
    return out.toString();
  }

  static String command(String name) {
    return "usage: " + synopsis(name) + "\n\n" + COMMANDS.get(name).text
        + "\n  --json   print the report as JSON, for scripts\n";
  }

  static String tool() {
    StringBuilder out = new StringBuilder();
    out.append("quentrel: what the native library sees on this host, and its operations one by one.\n\n");
    out.append("usage: ").append(RUN).append(" [--json] [COMMAND [ARGUMENTS]]\n\ncommands:\n");
    for (Command command : COMMANDS.values()) {
      for (String synopsis : command.synopsis.split("\n")) {
        out.append("  ").append(synopsis).append('\n');
      }
    }
    out.append("\noptions:\n");
    out.append("  --json       print the report as JSON, for scripts\n");
    out.append("  --help, -h   show this help; after a command, that command's help\n\n");
    out.append("doctor is the default command. The exit status is 0 when every check passed, 1 when\n");
    out.append("one failed and 2 when the command line is wrong.\n\n");
    out.append("The native library is taken from java.library.path when it is there; otherwise the copy\n");
    out.append("in this jar is extracted into a private folder under the folder that the system property\n");
    out.append("quentrel.native.dir names (-Dquentrel.native.dir=FOLDER), or else the temporary folder.\n");
    return out.toString();
  }
}
