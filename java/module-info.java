/**
 * Windows-integrated sign-on and authorization for Java servers: the native classes and the
 * context objects, HTTP Negotiate for the JDK's server and for servlet containers, and the client
 * helper.
 *
 * <p>The module loads a native library. Grant it native access, or the JDK warns (and a JDK that
 * denies native access refuses the load): {@code --enable-native-access=com.tarvex.pelk.quentrel}
 * on the module path, {@code --enable-native-access=ALL-UNNAMED} on the class path.
 */
module com.tarvex.pelk.quentrel {
  requires transitive java.net.http;
  requires transitive jdk.httpserver;
  // The servlet filter's package alone needs it; servers without a servlet container run without.
  requires static transitive jakarta.servlet;

  exports com.tarvex.pelk.quentrel;
  exports com.tarvex.pelk.quentrel.http;
  exports com.tarvex.pelk.quentrel.servlet;
}
