package com.tarvex.pelk.quentrel.tool;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The command-line tool: {@code java -jar quentrel.jar [--json] [COMMAND [ARGUMENTS]]}. Each command
 * prints a report for people, or JSON with {@code --json}, and exits with 0 when every check passed,
 * 1 when one failed and 2 when the command line is wrong.
 */
public final class Main {
  static final int EXIT_PASSED = 0;
  static final int EXIT_FAILED = 1;
  static final int EXIT_USAGE = 2;
  private static final String RUN = "java -jar quentrel.jar";

  private Main() {}

  public static void main(String[] args) {
    System.exit(run(args, System.out, System.err));
  }

  static int run(String[] args, PrintStream out, PrintStream err) {
    CommandLine line;
    try {
      line = CommandLine.parse(args);
    } catch (UsageException e) {
      String command = e.command();
      err.println("quentrel" + (command == null ? "" : " " + command) + ": " + e.getMessage());
      err.println("usage: " + (command == null ? RUN + " [--json] [COMMAND [ARGUMENTS]]" : Help.synopsis(command)));
      err.println("Run '" + RUN + (command == null ? "" : " " + command) + " --help' for more.");
      return EXIT_USAGE;
    }
    if (line.help) {
      out.print(line.command == null ? Help.tool() : Help.command(line.command));
      return EXIT_PASSED;
    }
    if (line.command.equals("serve")) {
      return Serve.run(line.number, line.option("--bind", null), line.option("--package", Loopback.DEFAULT_PACKAGE),
          line.options("--group"),
          line.options("--spn"), out, err);
    }
    Report report = execute(line);
    out.print(line.json ? report.toJson() + "\n" : report.toText(line.command.equals("doctor")));
    out.flush();
    return report.passed() ? EXIT_PASSED : EXIT_FAILED;
  }

  private static Report execute(CommandLine line) {
    List<String> args = line.positional;
    switch (line.command) {
      case "doctor":
        return Doctor.run(line.option("--package", Loopback.DEFAULT_PACKAGE),
            line.options("--group").isEmpty() ? Doctor.DEFAULT_GROUPS : line.options("--group"));
      case "negotiate": {
        Report report = new Report("negotiate");
        Loopback loopback = new Loopback(line.option("--package", Loopback.DEFAULT_PACKAGE),
            line.option("--target", null), line.flags, true, line.options("--group"));
        report.run("loopback", "Loopback authentication", loopback::run);
        return report;
      }
      case "sid": {
        Report report = new Report("sid");
        for (String name : args) {
          report.run("sid", "SID of " + name, section -> {
            section.fact("account", "name", name);
            Checks.sid(section, name);
          });
        }
        return report;
      }
      case "member": {
        Report report = new Report("member");
        String account = args.get(0);
        report.run("membership", "Groups of " + account, section -> {
          section.fact("account", "account", account);
          Checks.membership(section, account, args.subList(1, args.size()));
        });
        return report;
      }
      case "reg":
        return registry(line);
      case "paths": {
        Report report = new Report("paths");
        String file = args.isEmpty() ? null : args.get(0);
        report.run("productPaths", "Product paths", section -> Checks.productPaths(section, file));
        return report;
      }
      case "host": {
        Report report = new Report("host");
        report.run("hostNames", "Host names", Checks::hostNames);
        report.run("domainController", "Domain controller", Checks::domainController);
        return report;
      }
      default:
        throw new IllegalStateException("no command " + line.command);
    }
  }

  private static Report registry(CommandLine line) {
    List<String> args = line.positional;
    boolean view64 = line.has("--view64");
    Report report = new Report("reg");
    switch (args.get(0)) {
      case "get":
        report.run("registry", "Registry value", section -> Checks.regGet(section, args.get(1), args.get(2), view64));
        break;
      case "set":
        report.run("registry", "Registry write",
            section -> Checks.regSet(section, args.get(1), args.get(2), args.get(3), view64));
        break;
      default:
        report.run("registry", "Registry write",
            section -> Checks.regSetInt(section, args.get(1), args.get(2), line.number, view64));
        break;
    }
    return report;
  }

  /** A parsed command line: the command, its arguments and options, and the tool's own options. */
  static final class CommandLine {
    String command;
    boolean json;
    boolean help;
    final List<String> positional = new ArrayList<>();
    final Map<String, List<String>> options = new LinkedHashMap<>();
    int flags = Loopback.DEFAULT_FLAGS;
    int number;

    String option(String name, String otherwise) {
      List<String> values = options(name);
      return values.isEmpty() ? otherwise : values.get(values.size() - 1);
    }

    List<String> options(String name) {
      return options.getOrDefault(name, List.of());
    }

    boolean has(String name) {
      return options.containsKey(name);
    }

    static CommandLine parse(String[] args) throws UsageException {
      CommandLine line = new CommandLine();
      int i = 0;
      // The tool's own options may come before the command.
      for (; i < args.length && isOption(args[i]); i++) {
        if (!line.toolOption(args[i])) {
          throw new UsageException(null, "unknown option " + args[i]);
        }
      }
      line.command = i < args.length ? args[i++] : (line.help ? null : "doctor");
      if ("help".equals(line.command)) {
        line.help = true;
        line.command = i < args.length ? args[i++] : null;
      }
      if (line.command == null) {
        return line;
      }
      if (!Help.isCommand(line.command)) {
        throw new UsageException(null, "unknown command '" + line.command + "'");
      }
      boolean optionsEnded = false;
      for (; i < args.length; i++) {
        String arg = args[i];
        if (optionsEnded || !isOption(arg)) {
          line.positional.add(arg);
        } else if (arg.equals("--")) {
          optionsEnded = true;
        } else if (!line.toolOption(arg)) {
          String name = arg;
          String value = null;
          int equals = arg.indexOf('=');
          if (equals > 0) {
            name = arg.substring(0, equals);
            value = arg.substring(equals + 1);
          }
          if (!Help.hasOption(line.command, name)) {
            throw new UsageException(line.command, "unknown option " + name);
          }
          if (Help.optionTakesValue(line.command, name)) {
            if (value == null) {
              if (i + 1 == args.length) {
                throw new UsageException(line.command, "option " + name + " needs a value");
              }
              value = args[++i];
            }
          } else if (value != null) {
            throw new UsageException(line.command, "option " + name + " takes no value");
          }
          line.options.computeIfAbsent(name, k -> new ArrayList<>()).add(value);
        }
      }
      if (!line.help) {
        line.check();
      }
      return line;
    }

    private boolean toolOption(String arg) {
      switch (arg) {
        case "--json":
          json = true;
          return true;
        case "--help":
        case "-h":
          help = true;
          return true;
        default:
          return false;
      }
    }

    // The arguments each command needs, and the numbers among them.
    private void check() throws UsageException {
      int count = positional.size();
      switch (command) {
        case "sid":
          require(count >= 1, "give at least one NAME");
          break;
        case "member":
          require(count >= 2, "give an ACCOUNT and at least one GROUP");
          break;
        case "paths":
          require(count <= 1, "give at most one FILE");
          break;
        case "negotiate":
          if (has("--flags")) {
            flags = parseNumber(option("--flags", null), "--flags");
          }
          require(count == 0, "takes no arguments");
          break;
        case "serve":
          require(count == 0, "takes no arguments");
          number = has("--port") ? parseNumber(option("--port", null), "--port") : 8080;
          require(number >= 0 && number <= 65535, "--port must be 0 to 65535");
          break;
        case "reg":
          require(count >= 1, "give get, set or set-int");
          String action = positional.get(0);
          switch (action) {
            case "get":
              require(count == 3, "reg get needs KEY VALUE");
              break;
            case "set":
              require(count == 4, "reg set needs KEY VALUE TEXT");
              break;
            case "set-int":
              require(count == 4, "reg set-int needs KEY VALUE N");
              number = parseNumber(positional.get(3), "N");
              break;
            default:
              throw new UsageException(command, "unknown action '" + action + "': give get, set or set-int");
          }
          break;
        default:
          require(count == 0, "takes no arguments");
      }
    }

    private void require(boolean condition, String message) throws UsageException {
      if (!condition) {
        throw new UsageException(command, message);
      }
    }

    /** A 32-bit number, decimal or 0x hexadecimal; unsigned values above 2^31 - 1 wrap as Java's int. */
    private int parseNumber(String text, String what) throws UsageException {
      try {
        long value = Long.decode(text);
        if (value >= Integer.MIN_VALUE && value <= 0xFFFFFFFFL) {
          return (int) value;
        }
      } catch (NumberFormatException e) {
        // reported below
      }
      throw new UsageException(command, what + " must be a 32-bit number, decimal or 0x hexadecimal: '" + text + "'");
    }

    // A lone "-" and negative numbers are arguments, not options.
    private static boolean isOption(String arg) {
      return arg.startsWith("-") && arg.length() > 1 && !Character.isDigit(arg.charAt(1));
    }
  }
}
