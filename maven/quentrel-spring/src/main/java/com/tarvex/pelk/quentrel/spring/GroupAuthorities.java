package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.http.NegotiatedUser;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import org.springframework.security.core.GrantedAuthority;
import org.springframework.security.core.authority.SimpleGrantedAuthority;

/**
 * A client's authorities: each declared group it is a member of by its token, by name as the
 * server declared it ("SAMDOM\Engineers") and by SID ("S-1-5-21-...-1105"), so that either may be
 * named in hasAuthority(...). The groups' SIDs are looked up once each.
 */
final class GroupAuthorities {
  private final List<String> groups;
  private final Map<String, String> sids = new ConcurrentHashMap<>();

  GroupAuthorities(List<String> groups) {
    this.groups = List.copyOf(groups);
  }

  List<String> groups() {
    return groups;
  }

  List<GrantedAuthority> of(NegotiatedUser user) {
    List<GrantedAuthority> authorities = new ArrayList<>();
    for (String group : groups) {
      if (user.isMember(group)) {
        authorities.add(new SimpleGrantedAuthority(group));
        String sid = sidOf(group);
        if (sid != null) {
          authorities.add(new SimpleGrantedAuthority(sid));
        }
      }
    }
    return authorities;
  }

  private String sidOf(String group) {
    String known = sids.get(group);
    if (known != null) {
      return known.isEmpty() ? null : known;
    }
    String sid = UserAuth.GetUserSID(group);
    sids.put(group, sid == null ? "" : sid);
    return sid;
  }
}
