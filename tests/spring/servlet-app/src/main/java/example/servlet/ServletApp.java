package example.servlet;

import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.http.NegotiateClient;
import com.tarvex.pelk.quentrel.spring.NegotiatedAuthentication;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.util.LinkedHashMap;
import java.util.Map;
import org.springframework.boot.SpringApplication;
import org.springframework.boot.autoconfigure.SpringBootApplication;
import org.springframework.security.access.prepost.PreAuthorize;
import org.springframework.security.config.annotation.method.configuration.EnableMethodSecurity;
import org.springframework.security.core.Authentication;
import org.springframework.security.core.GrantedAuthority;
import org.springframework.web.bind.annotation.GetMapping;
import org.springframework.web.bind.annotation.RequestParam;
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

    // The second hop: the back end sees the client, with the ticket the client delegated.
    @GetMapping("/hop")
    String hop(NegotiatedAuthentication client, @RequestParam String url) throws Exception {
      HttpClient http = HttpClient.newHttpClient();  // its threads made as the process
      try (ServerContext.Impersonation asClient = client.impersonate()) {
        return NegotiateClient.send(http, HttpRequest.newBuilder(URI.create(url)).build(),
            HttpResponse.BodyHandlers.ofString()).body();
      }
    }

    @GetMapping("/login")
    String login() {
      return "login page: sign in with your password";
    }
  }
}
