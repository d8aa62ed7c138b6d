package com.tarvex.pelk.quentrel.http;

import java.io.ByteArrayInputStream;
import java.io.DataInputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The keytab a Kerberos server takes its keys from, found as krb5 finds it, and what it holds:
 * so that a server that cannot accept anyone says at start which file it looked at, whether it
 * could read it and which principals and key versions it holds, and a refused ticket can be set
 * beside that. Only the principals, key versions and types are read, never a key.
 */
public final class ServiceKeytab {
  private static final Map<Integer, String> ENCTYPES = Map.of(17, "aes128-cts-hmac-sha1-96", 18,
      "aes256-cts-hmac-sha1-96", 19, "aes128-cts-hmac-sha256-128", 20, "aes256-cts-hmac-sha384-192", 23,
      "arcfour-hmac (RC4)", 3, "des-cbc-md5", 1, "des-cbc-crc");
  private final String path;
  private final String unreadable;
  private final Map<String, List<int[]>> keys;

  private ServiceKeytab(String path, String unreadable, Map<String, List<int[]>> keys) {
    this.path = path;
    this.unreadable = unreadable;
    this.keys = keys;
  }

  /** The keytab of this process: KRB5_KTNAME, else krb5.conf's default_keytab_name, else /etc/krb5.keytab. */
  public static ServiceKeytab find() {
    return read(file());
  }

  /** The file of this process's keytab; null for a keytab that is not a file (KEYRING:, ...). */
  public static String file() {
    return fileOf(System.getenv("KRB5_KTNAME"), krb5Setting("default_keytab_name"), "/etc/krb5.keytab");
  }

  /** What a keytab file holds; a file that is missing or unreadable says why. */
  public static ServiceKeytab read(String path) {
    if (path == null) {
      return new ServiceKeytab(null, "it is not a file", Map.of());
    }
    try (InputStream in = Files.newInputStream(Paths.get(path))) {
      return new ServiceKeytab(path, null, entries(new DataInputStream(in)));
    } catch (NoSuchFileException e) {
      return new ServiceKeytab(path, "it does not exist", Map.of());
    } catch (IOException | SecurityException e) {
      return new ServiceKeytab(path, "this process (uid " + uid() + ") cannot read it: " + e.getMessage(), Map.of());
    }
  }

  /** The file's path; null when the keytab is not a file. */
  public String path() {
    return path;
  }

  /** Why the keytab could not be read; null when it was. */
  public String unreadable() {
    return unreadable;
  }

  /** Each principal with its keys, "kvno N ENCTYPE", in the file's order. */
  public Map<String, List<String>> principals() {
    Map<String, List<String>> shown = new LinkedHashMap<>();
    keys.forEach((principal, list) -> {
      List<String> texts = new ArrayList<>();
      for (int[] key : list) {
        texts.add("kvno " + key[0] + " " + ENCTYPES.getOrDefault(key[1], "enctype " + key[1]));
      }
      shown.put(principal, texts);
    });
    return Collections.unmodifiableMap(shown);
  }

  /** Whether the keytab holds a key of a principal ("HTTP/web@REALM") with a key version (any, for a negative one). */
  public boolean holds(String principal, int kvno) {
    for (int[] key : keys.getOrDefault(principal, List.of())) {
      if (kvno < 0 || key[0] == kvno) {
        return true;
      }
    }
    return false;
  }

  /** The highest key version the keytab holds for a principal; 0 for none. */
  public int newestKvno(String principal) {
    return keys.getOrDefault(principal, List.of()).stream().mapToInt(key -> key[0]).max().orElse(0);
  }

  /** Whether it holds a key of any HTTP service. */
  public boolean holdsHttpKey() {
    return keys.keySet().stream().anyMatch(p -> p.startsWith("HTTP/"));
  }

  /** "P1 kvno 3, P2 kvno 2 and 3", or "no key". */
  public String summary() {
    List<String> parts = new ArrayList<>();
    keys.forEach((principal, list) -> {
      StringBuilder part = new StringBuilder(principal).append(" kvno ");
      List<Integer> versions = new ArrayList<>();
      list.stream().map(k -> k[0]).distinct().forEach(versions::add);
      for (int i = 0; i < versions.size(); i++) {
        part.append(i == 0 ? "" : i == versions.size() - 1 ? " and " : ", ").append(versions.get(i));
      }
      parts.add(part.toString());
    });
    return parts.isEmpty() ? "no key" : String.join(", ", parts);
  }

  /**
   * One line saying why a server cannot accept sign-ons with this keytab; null when it holds a
   * key of an HTTP service, or of the principal asked for when one is.
   */
  public String problem(String asked) {
    String where = "the keytab " + (path == null ? "of this process" : path);
    if (unreadable != null) {
      return where + " cannot be used: " + unreadable;
    }
    if (asked != null && !asked.isEmpty() && !asked.equals("*")) {
      for (String principal : asked.split(",")) {
        String wanted = principal.trim();
        if (keys.keySet().stream().noneMatch(p -> p.equals(wanted) || p.startsWith(wanted + "@"))) {
          return where + " holds no key of " + wanted + ", the principal asked for (it holds " + summary() + ")";
        }
      }
      return null;
    }
    return holdsHttpKey() ? null : where + " holds no HTTP key (it holds " + summary() + ")";
  }

  // MIT's keytab format, version 2 (big-endian): entries of a signed length, a hole when negative.
  private static Map<String, List<int[]>> entries(DataInputStream in) throws IOException {
    if (in.readUnsignedShort() != 0x0502) {
      throw new IOException("not a keytab of format 0x0502");
    }
    Map<String, List<int[]>> found = new LinkedHashMap<>();
    while (true) {
      int length;
      try {
        length = in.readInt();
      } catch (EOFException e) {
        return found;
      }
      if (length < 0) {
        in.skipNBytes(-(long) length);
        continue;
      }
      if (length == 0 || length > (1 << 20)) {
        return found;
      }
      byte[] entry = new byte[length];
      in.readFully(entry);
      entry(new DataInputStream(new ByteArrayInputStream(entry)), found);
    }
  }

  private static void entry(DataInputStream fields, Map<String, List<int[]>> found) throws IOException {
    int components = fields.readUnsignedShort();
    String realm = counted(fields);
    List<String> names = new ArrayList<>();
    for (int i = 0; i < components; i++) {
      names.add(counted(fields));
    }
    fields.readInt();  // name type
    fields.readInt();  // timestamp
    int kvno = fields.readUnsignedByte();
    int enctype = fields.readUnsignedShort();
    fields.skipNBytes(fields.readUnsignedShort());  // the key itself
    if (fields.available() >= 4) {
      kvno = fields.readInt();  // the 32-bit key version, when present
    }
    found.computeIfAbsent(String.join("/", names) + "@" + realm, k -> new ArrayList<>()).add(new int[] {kvno, enctype});
  }

  private static String counted(DataInputStream in) throws IOException {
    byte[] bytes = new byte[in.readUnsignedShort()];
    in.readFully(bytes);
    return new String(bytes, StandardCharsets.UTF_8);
  }

  // ---- krb5's configuration, read as krb5 reads the few settings that name files ------------------

  /** The value of a krb5.conf setting (the first of that name in the files KRB5_CONFIG lists); null for none. */
  public static String krb5Setting(String name) {
    Pattern pattern = Pattern.compile("^\\s*" + Pattern.quote(name) + "\\s*=\\s*(\\S+)\\s*$");
    for (String file : krb5ConfigFiles().split(":")) {
      try {
        for (String line : Files.readAllLines(Paths.get(file), StandardCharsets.UTF_8)) {
          Matcher matcher = pattern.matcher(line);
          if (matcher.matches()) {
            return matcher.group(1);
          }
        }
      } catch (IOException | RuntimeException e) {
        // A file that cannot be read gives no settings, as for krb5.
      }
    }
    return null;
  }

  /** The krb5.conf files of this process, colon-separated: KRB5_CONFIG, else /etc/krb5.conf. */
  public static String krb5ConfigFiles() {
    String named = System.getenv("KRB5_CONFIG");
    return named != null && !named.isEmpty() ? named : "/etc/krb5.conf";
  }

  /**
   * The file of a cache or keytab name, from the environment, else the configuration, else the
   * default; null for kinds that are not files (KEYRING:, KCM:, ...).
   */
  public static String fileOf(String fromEnvironment, String fromConfig, String fallback) {
    String name = fromEnvironment != null && !fromEnvironment.isEmpty() ? fromEnvironment
        : fromConfig != null ? fromConfig : fallback;
    name = name.replace("%{uid}", uid()).replace("%{euid}", uid());
    if (name.startsWith("FILE:") || name.startsWith("WRFILE:")) {
      return name.substring(name.indexOf(':') + 1);
    }
    return name.startsWith("/") ? name : null;
  }

  /** This process's uid as text ("UID" where the system does not say). */
  public static String uid() {
    try {
      for (String line : Files.readAllLines(Path.of("/proc/self/status"), StandardCharsets.US_ASCII)) {
        if (line.startsWith("Uid:")) {
          return line.split("\\s+")[1];
        }
      }
    } catch (IOException | RuntimeException e) {
      // not Linux
    }
    return "UID";
  }
}
