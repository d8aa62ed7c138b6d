package example.servlet;

import com.tarvex.pelk.quentrel.spring.NegotiatedAuthentication;
import java.util.LinkedHashMap;
import java.util.Map;
import org.springframework.boot.SpringApplication;
import org.springframework.boot.autoconfigure.SpringBootApplication;
import org.springframework.security.access.prepost.PreAuthorize;
import org.springframework.security.config.annotation.method.configuration.EnableMethodSecurity;
import org.springframework.security.core.Authentication;
import org.springframework.security.core.GrantedAuthority;
import org.springframework.web.bind.annotation.GetMapping;
import org.springframework.web.bind.annotation.RestController;

@SpringBootApplication
@EnableMethodSecurity
public class ServletApp {
  public static void main(String[] args) {
    SpringApplication.run(ServletApp.class, args);
  }

  @RestController
  static class Who {
    @GetMapping("/")
    Map<String, Object> who(Authentication client) {
      Map<String, Object> answer = new LinkedHashMap<>();
      answer.put("name", client.getName());
      answer.put("resumed", ((NegotiatedAuthentication) client).resumed());
      answer.put("authorities", client.getAuthorities().stream().map(GrantedAuthority::getAuthority).toList());
      return answer;
    }

    @GetMapping("/engineers")
    @PreAuthorize("hasAuthority('SAMDOM\\Engineers')")
    String engineers() {
      return "engineers only";
    }

    @GetMapping("/staff")
    @PreAuthorize("hasAuthority('SAMDOM\\Staff')")
    String staff() {
      return "staff only";
    }

    @GetMapping("/admins")
    @PreAuthorize("hasAuthority('SAMDOM\\Domain Admins')")
    String admins() {
      return "domain admins only";
    }

    @GetMapping("/login")
    String login() {
      return "login page: sign in with your password";
    }
  }
}
