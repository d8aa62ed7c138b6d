package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.WinUtil;

/**
 * Group and account names as a site writes them, turned into the names the platform's
 * membership tests take. A site writes "Engineers" where the platform wants "SAMDOM\Engineers"
 * (an unqualified name there means a group of this computer or the built-in domain only), so a
 * name is looked up the way the tool's {@code sid} command looks it up, and an unqualified name
 * that the lookup finds in the client's own domain is qualified with that domain.
 */
final class GroupNames {
  private GroupNames() {}

  /**
   * The name to test a client's membership of a group with; null when no account, group or alias
   * has that name.
   */
  static String resolve(String group, String clientName) {
    if (group == null || group.isEmpty()) {
      return null;
    }
    String sid = UserAuth.GetUserSID(group);
    if (sid == null) {
      return null;
    }
    if (group.indexOf('\\') >= 0) {
      return group;
    }
    String domain = domainOf(clientName);
    if (domain != null) {
      String qualified = domain + "\\" + group;
      if (sid.equals(UserAuth.GetUserSID(qualified))) {
        return qualified;
      }
    }
    return group;
  }

  /**
   * The name a user context is made for: the client's name as the package gave it when it has a
   * domain, a local account qualified with this computer's name; null for a name no user context
   * can be made for (a principal of a realm without a domain name).
   */
  static String account(String clientName) {
    if (clientName.indexOf('\\') >= 0) {
      return clientName;
    }
    if (clientName.indexOf('@') >= 0) {
      return null;
    }
    String computer = WinUtil.GetComputerNameNetBIOS();
    return computer == null ? null : computer + "\\" + clientName;
  }

  private static String domainOf(String clientName) {
    int slash = clientName == null ? -1 : clientName.indexOf('\\');
    return slash > 0 ? clientName.substring(0, slash) : null;
  }
}
