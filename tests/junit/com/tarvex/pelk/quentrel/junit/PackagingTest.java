package com.tarvex.pelk.quentrel.junit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The artifacts as users run them, each in a JVM of its own with no library path, so the library
 * comes out of the jar: the core as a named module and on the class path, the tool as an
 * executable jar. Where the JDK can deny native access, the run denies it, so a grant that does
 * not reach the library fails the load instead of printing a warning.
 */
class PackagingTest {
  private static final String MODULE = "com.tarvex.pelk.quentrel";
  private static final String DENY = "--illegal-native-access=deny";

  @Test
  void coreJarIsANamedModuleExportingThePublicPackagesOnly() throws Exception {
    Path jdk = Path.of(JvmRun.property("quentrel.test.java")).getParent();
    JvmRun described = JvmRun.run(List.of(jdk.resolve("jar").toString(), "--describe-module", "--file",
        JvmRun.property("quentrel.test.coreJar")));
    assertEquals(0, described.exit, described::toString);
    assertTrue(described.output.matches("(?s)" + MODULE.replace(".", "\\.") + "(@\\S+)? jar:file:.*"),
        described::toString);
    Set<String> exported = new TreeSet<>();
    for (String line : described.output.split("\n")) {
      String[] words = line.trim().split("\\s+");
      if (words[0].equals("exports")) {
        exported.add(words[1]);
      }
      // The servlet API is the container's: the module must resolve without it.
      if (words[0].equals("requires") && words.length > 1 && words[1].equals("jakarta.servlet")) {
        assertTrue(line.contains("static"), described::toString);
      }
    }
    assertEquals(Set.of(MODULE, MODULE + ".http", MODULE + ".servlet"), exported, described::toString);
  }

  static Stream<Arguments> grants() {
    String core = JvmRun.property("quentrel.test.coreJar");
    String classes = JvmRun.property("quentrel.test.classes");
    String probe = LoadProbe.class.getName();
    return Stream.of(
        Arguments.of("module path, module granted", List.of("--module-path", core, "--add-modules", MODULE,
            "--enable-native-access=" + MODULE, "-cp", classes, probe), true),
        Arguments.of("class path, unnamed granted", List.of("--enable-native-access=ALL-UNNAMED",
            "-cp", core + ":" + classes, probe), true),
        // The control: the probe's own grant does not reach the module's load.
        Arguments.of("module path, only the class path granted", List.of("--module-path", core, "--add-modules",
            MODULE, "--enable-native-access=ALL-UNNAMED", "-cp", classes, probe), false),
        Arguments.of("tool jar, granted by its manifest", List.of("-jar", JvmRun.property("quentrel.test.toolJar"),
            "host"), true));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("grants")
  void packedLibraryLoadsWhereNativeAccessIsGranted(String name, List<String> args, boolean granted)
      throws Exception {
    assumeTrue(granted || JvmRun.deniesNativeAccess(), "this JDK cannot deny native access");
    List<String> command = new ArrayList<>();
    if (JvmRun.deniesNativeAccess()) {
      command.add(DENY);
    }
    command.addAll(args);
    JvmRun run = JvmRun.java(command);
    if (granted) {
      assertEquals(0, run.exit, run::toString);
      assertTrue(run.output.contains("NetBIOS name: "), run::toString);
      assertFalse(run.output.contains("WARNING"), run::toString);
    } else {
      assertEquals(3, run.exit, run::toString);
      assertTrue(run.output.contains("IllegalCallerException"), run::toString);
    }
  }
}
