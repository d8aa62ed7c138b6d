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
    return Help.run(line, out, err);
  }

  /** Prints a command's report, as text or JSON, and gives the exit status it earns. */
  static int print(CommandLine line, Report report, boolean summary, PrintStream out) {
    out.print(line.json ? report.toJson() + "\n" : report.toText(summary));
    out.flush();
    return report.passed() ? EXIT_PASSED : EXIT_FAILED;
  }

  // ---- the commands, each named once in Help's table --------------------------------------------

  static Report doctor(CommandLine line) {
    return Doctor.run(line.option("--package", Loopback.DEFAULT_PACKAGE),
        line.options("--group").isEmpty() ? Doctor.DEFAULT_GROUPS : line.options("--group"));
  }

  static Report negotiate(CommandLine line) {
    Report report = new Report(line.command);
    Loopback loopback = new Loopback(line.option("--package", Loopback.DEFAULT_PACKAGE),
        line.option("--target", null), line.flags, true, line.options("--group"));
    report.run("loopback", "Loopback authentication", loopback::run);
    return report;
  }

  static int serve(CommandLine line, PrintStream out, PrintStream err) {
    return Serve.run(line.number, line.option("--bind", null), line.option("--package", Loopback.DEFAULT_PACKAGE),
        line.options("--group"), line.options("--spn"), out, err);
  }

  static Report sid(CommandLine line) {
    Report report = new Report(line.command);
    for (String name : line.positional) {
      report.run("sid", "SID of " + name, section -> {
        section.fact("account", "name", name);
        Checks.sid(section, name);
      });
    }
    return report;
  }

  static Report member(CommandLine line) {
    List<String> args = line.positional;
    Report report = new Report(line.command);
    String account = args.get(0);
    report.run("membership", "Groups of " + account, section -> {
      section.fact("account", "account", account);
      Checks.membership(section, account, args.subList(1, args.size()));
    });
    return report;
  }

  static Report paths(CommandLine line) {
    Report report = new Report(line.command);
    String file = line.positional.isEmpty() ? null : line.positional.get(0);
    report.run("productPaths", "Product paths", section -> Checks.productPaths(section, file));
    return report;
  }

  static Report host(CommandLine line) {
    Report report = new Report(line.command);
    report.run("hostNames", "Host names", Checks::hostNames);
    report.run("domainController", "Domain controller", Checks::domainController);
    return report;
  }

  static Report registry(CommandLine line) {
    List<String> args = line.positional;
    boolean view64 = line.has("--view64");
    Report report = new Report(line.command);
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
      line.command = i < args.length ? args[i++] : (line.help ? null : Help.DEFAULT_COMMAND);
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
        Help.check(line);
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

    void require(boolean condition, String message) throws UsageException {
      if (!condition) {
        throw new UsageException(command, message);
      }
    }

    /** A 32-bit number, decimal or 0x hexadecimal; unsigned values above 2^31 - 1 wrap as Java's int. */
    int parseNumber(String text, String what) throws UsageException {
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
