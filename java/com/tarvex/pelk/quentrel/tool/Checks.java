package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.UserNotFoundException;
import com.tarvex.pelk.quentrel.WinUtil;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** The checks that the commands and the doctor share, each filling one section. */
final class Checks {
  private Checks() {}

  /** The outcomes of the domain-controller check that a server tells apart. */
  private static final Map<Integer, String[]> DC_CODES = new LinkedHashMap<>();

  static {
    DC_CODES.put(0, new String[] {"NERR_Success", "a domain controller of the primary domain answered"});
    DC_CODES.put(1311, new String[] {"ERROR_NO_LOGON_SERVERS", "no logon server is available"});
    DC_CODES.put(1355, new String[] {"ERROR_NO_SUCH_DOMAIN", "the domain does not exist or can't be contacted"});
    DC_CODES.put(1786, new String[] {"ERROR_NO_TRUST_LSA_SECRET", "the workstation has no trust secret for the domain"});
    DC_CODES.put(1787,
        new String[] {"ERROR_NO_TRUST_SAM_ACCOUNT", "the domain has no computer account for this workstation"});
    DC_CODES.put(1810, new String[] {"ERROR_DOMAIN_TRUST_INCONSISTENT", "the trust information is inconsistent"});
  }

  static void hostNames(Section section) throws Failure {
    String netbios = WinUtil.GetComputerNameNetBIOS();
    String dns = WinUtil.GetFullyQualifiedDnsName();
    section.fact("netbiosName", "NetBIOS name", netbios);
    section.fact("fullyQualifiedName", "fully qualified DNS name", dns);
    if (netbios == null || dns == null) {
      throw new Failure("the computer's " + (netbios == null ? "NetBIOS" : "fully qualified DNS") + " name cannot be read");
    }
  }

  /** The code the last domain-controller check gave, for the report's later sections; null before. */
  static volatile Integer lastDcCode;

  /** Any answer passes: the code says what the host's domain membership is, not whether we work. */
  static void domainController(Section section) {
    int code = WinUtil.GetDCCheckResultCode();
    lastDcCode = code;
    String[] known = DC_CODES.get(code);
    String name = known == null ? null : known[0];
    String meaning = known == null ? "other" : known[1];
    section.factLine("code", code, "check code: " + code + (name == null ? "" : " " + name) + " (" + meaning + ")");
    section.data("codeName", name);
    section.data("meaning", meaning);
  }

  /** The install path may be absent (the product is not installed); the app-data folder may not. */
  static void productPaths(Section section, String fileName) throws Exception {
    String install = WinUtil.GetProductInstallPath();
    if (install != null) {
      section.fact("installPath", "install path", install);
    } else {
      section.factLine("installPath", null,
          "install path: none (the product's registry key or its InstallPath value is missing)");
    }
    if (fileName == null) {
      String path = WinUtil.GetCommonAppDataFilePath("");
      // The call joins the folder, a separator and the (empty) name.
      section.fact("appDataPath", "app-data folder", path.substring(0, Math.max(0, path.length() - 1)));
    } else {
      section.fact("appDataPath", "app-data file", WinUtil.GetCommonAppDataFilePath(fileName));
    }
  }

  static void sid(Section section, String name) throws Failure {
    String sid = UserAuth.GetUserSID(name);
    section.fact("sid", "SID", sid);
    if (sid == null) {
      throw new Failure("no account, group or alias of that name can be found");
    }
  }

  /** Captures an account's groups and asks about each group; every group is asked about. */
  static void membership(Section section, String account, List<String> groups) throws Exception {
    int handle;
    try {
      handle = UserAuth.CreateUserContext(account);
    } catch (UserNotFoundException e) {
      throw new Failure("UserNotFoundException: no account is named " + account);
    }
    List<String> failures = new ArrayList<>();
    try {
      for (String group : groups) {
        Map<String, Object> json = new LinkedHashMap<>();
        json.put("group", group);
        try {
          boolean member = UserAuth.IsGroupMember(handle, group);
          json.put("member", member);
          section.item("memberships", json, "member of " + group + ": " + Section.show(member));
        } catch (GroupNotFoundException e) {
          failures.add("GroupNotFoundException: no group is named " + group);
          json.put("member", null);
          json.put("error", "no group of that name");
          section.item("memberships", json, "member of " + group + ": no group of that name");
        }
      }
    } finally {
      UserAuth.FreeHandle(handle);
    }
    if (!failures.isEmpty()) {
      throw new Failure(String.join("; ", failures));
    }
  }

  static void regGet(Section section, String key, String value, boolean view64) throws Failure {
    regTarget(section, key, value, view64);
    String text = WinUtil.GetHKLMStringRegValue(key, value, view64);
    section.fact("text", "text", text);
    if (text == null) {
      throw new Failure("the value cannot be read: the key or the value is missing, or the value is empty");
    }
  }

  static void regSet(Section section, String key, String value, String text, boolean view64) throws Failure {
    regTarget(section, key, value, view64);
    section.fact("written", "text", text);
    regStatus(section, key, value, view64, WinUtil.SetHKLMStringRegValue(key, value, text, view64));
  }

  static void regSetInt(Section section, String key, String value, int number, boolean view64) throws Failure {
    regTarget(section, key, value, view64);
    section.fact("written", "integer", number);
    regStatus(section, key, value, view64, WinUtil.SetHKLMIntRegValue(key, value, number, view64));
  }

  private static void regTarget(Section section, String key, String value, boolean view64) {
    section.fact("key", "key", "HKEY_LOCAL_MACHINE\\" + key);
    section.fact("value", "value", value);
    section.fact("view64", "64-bit view asked for", view64);
  }

  // A write that went through is read back, so the user sees what a reader of the value gets.
  private static void regStatus(Section section, String key, String value, boolean view64, int status)
      throws Failure {
    String name = windowsErrorName(status);
    section.factLine("status", status, "status: " + status + (name == null ? "" : " " + name));
    if (status != 0) {
      throw new Failure("the value was not written: Windows error " + status + (name == null ? "" : " " + name));
    }
    section.fact("readBack", "reads back as", WinUtil.GetHKLMStringRegValue(key, value, view64));
  }

  private static String windowsErrorName(int code) {
    switch (code) {
      case 0:
        return "ERROR_SUCCESS";
      case 2:
        return "ERROR_FILE_NOT_FOUND";
      case 5:
        return "ERROR_ACCESS_DENIED";
      case 8:
        return "ERROR_NOT_ENOUGH_MEMORY";
      case 33:
        return "ERROR_LOCK_VIOLATION";
      case 87:
        return "ERROR_INVALID_PARAMETER";
      case 112:
        return "ERROR_DISK_FULL";
      case 1009:
        return "ERROR_BADDB";
      case 1015:
        return "ERROR_REGISTRY_CORRUPT";
      case 1016:
        return "ERROR_REGISTRY_IO_FAILED";
      default:
        return null;
    }
  }
}
