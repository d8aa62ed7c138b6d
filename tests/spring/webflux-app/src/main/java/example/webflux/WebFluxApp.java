package example.webflux;

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
import org.springframework.security.config.annotation.method.configuration.EnableReactiveMethodSecurity;
import org.springframework.security.core.GrantedAuthority;
import org.springframework.security.core.context.ReactiveSecurityContextHolder;
import org.springframework.security.core.context.SecurityContext;
import org.springframework.web.bind.annotation.GetMapping;
import org.springframework.web.bind.annotation.RequestParam;
import org.springframework.web.bind.annotation.RestController;
import reactor.core.Exceptions;
import reactor.core.publisher.Mono;
import reactor.core.scheduler.Schedulers;

@SpringBootApplication
@EnableReactiveMethodSecurity
public class WebFluxApp {
  public static void main(String[] args) {
    SpringApplication.run(WebFluxApp.class, args);
  }

  @RestController
  static class Who {
    @GetMapping("/")
    Mono<Map<String, Object>> who() {
      return ReactiveSecurityContextHolder.getContext().map(SecurityContext::getAuthentication).map(client -> {
        Map<String, Object> answer = new LinkedHashMap<>();
        answer.put("name", client.getName());
        answer.put("resumed", ((NegotiatedAuthentication) client).resumed());
        answer.put("authorities", client.getAuthorities().stream().map(GrantedAuthority::getAuthority).toList());
        return answer;
      });
    }

    @GetMapping("/engineers")
    @PreAuthorize("hasAuthority('SAMDOM\\Engineers')")
    Mono<String> engineers() {
      return Mono.just("engineers only");
    }

    @GetMapping("/staff")
    @PreAuthorize("hasAuthority('SAMDOM\\Staff')")
    Mono<String> staff() {
      return Mono.just("staff only");
    }

    @GetMapping("/admins")
    @PreAuthorize("hasAuthority('SAMDOM\\Domain Admins')")
    Mono<String> admins() {
      return Mono.just("domain admins only");
    }

    // The second hop, off the event loop: the back end sees the client, with the ticket the
    // client delegated.
    @GetMapping("/hop")
    Mono<String> hop(@RequestParam String url) {
      HttpClient http = HttpClient.newHttpClient();  // its threads made as the process
      return ReactiveSecurityContextHolder.getContext()
          .map(context -> (NegotiatedAuthentication) context.getAuthentication())
          .publishOn(Schedulers.boundedElastic())
          .map(client -> {
            try (ServerContext.Impersonation asClient = client.impersonate()) {
              return NegotiateClient.send(http, HttpRequest.newBuilder(URI.create(url)).build(),
                  HttpResponse.BodyHandlers.ofString()).body();
            } catch (Exception e) {
              throw Exceptions.propagate(e);
            }
          });
    }

    @GetMapping("/login")
    Mono<String> login() {
      return Mono.just("login page: sign in with your password");
    }
  }
}
