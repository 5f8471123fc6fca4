# Install rules of the Linux package and its CPack settings: `cpack` in a build folder makes
# tavrinhost_<version>_<arch>.deb (scripts/package-deb does all of it). The programs, the
# launcher, the FIPS provider and its configuration live in /usr/lib/tavrinhost; /usr/bin
# links to the commands; the browsers' system-wide folders get the host manifest.

# Extension ids the host manifests allow (";"-separated). Vendors rebuild with their own, e.g.
#   scripts/package-deb -DTAVRIN_CHROMIUM_IDS=<id> -DTAVRIN_FIREFOX_IDS=<add-on id>
set(TAVRIN_CHROMIUM_IDS "bbidhjgjegimbmeniibhecfggohgpkdc" CACHE STRING
    "Chrome, Chromium and Edge extension ids the packaged host manifest allows")
set(TAVRIN_FIREFOX_IDS "tavrinhost-sample@example.org" CACHE STRING
    "Firefox add-on ids the packaged host manifest allows")

foreach(id IN LISTS TAVRIN_CHROMIUM_IDS)
  string(LENGTH "${id}" length)
  if(NOT id MATCHES "^[a-p]+$" OR NOT length EQUAL 32)
    message(FATAL_ERROR "TAVRIN_CHROMIUM_IDS: '${id}' is not an extension id (32 letters a-p)")
  endif()
endforeach()
foreach(id IN LISTS TAVRIN_FIREFOX_IDS)
  if(NOT id MATCHES "^[A-Za-z0-9._+-]*@[A-Za-z0-9.-]+$" AND
     NOT id MATCHES "^{[0-9a-fA-F]+-[0-9a-fA-F]+-[0-9a-fA-F]+-[0-9a-fA-F]+-[0-9a-fA-F]+}$")
    message(FATAL_ERROR "TAVRIN_FIREFOX_IDS: '${id}' is not an add-on id (name@domain or {uuid})")
  endif()
endforeach()

set(package_lib lib/tavrinhost)          # below the package prefix /usr
set(package_dir /usr/${package_lib})     # the same folder in packaging/postinst, prerm, postrm
set(staged ${CMAKE_BINARY_DIR}/package)  # generated files of the package
set(host_name com.tavrinhost.host)
file(MAKE_DIRECTORY ${staged}/links/bin)

# The programs, the launcher that sets the provider environment, the provider's files.
install(TARGETS tavrinhost tavrinhost-nm tavrinhost-http DESTINATION ${package_lib}/bin)
set(FIPS_DIR ${package_dir})
set(HOST_PROGRAM ${package_dir}/bin/tavrinhost)
configure_file(scripts/launcher.in ${staged}/tavrinhost @ONLY)
configure_file(scripts/openssl.cnf.in ${staged}/openssl.cnf @ONLY)
install(PROGRAMS ${staged}/tavrinhost scripts/install-host DESTINATION ${package_lib})
install(FILES ${TAVRIN_FIPS_DIR}/fips.so ${staged}/openssl.cnf DESTINATION ${package_lib})

# Per-user registration: scripts/install-host, by default for the ids of this package.
string(REPLACE ";" " " chromium_words "${TAVRIN_CHROMIUM_IDS}")
string(REPLACE ";" " " firefox_words "${TAVRIN_FIREFOX_IDS}")
file(WRITE ${staged}/install-host.conf
     "# Extension ids the package was built for: install-host's default.\n"
     "default_extension_ids=(${chromium_words})\ndefault_firefox_ids=(${firefox_words})\n")
install(FILES ${staged}/install-host.conf DESTINATION ${package_lib})

# Host manifests: one for the Chromium family (allowed_origins), one for Firefox
# (allowed_extensions); the Chromium-family folders in /etc link to the first.
function(tavrin_host_manifest file member)
  set(items "")
  foreach(item IN LISTS ARGN)
    if(items)
      string(APPEND items ", ")
    endif()
    string(APPEND items "\"${item}\"")
  endforeach()
  file(WRITE ${file}
       "{\n"
       "  \"name\": \"${host_name}\",\n"
       "  \"description\": \"tavrinhost local encryption service (AES-256, FIPS mode)\",\n"
       "  \"path\": \"${package_dir}/tavrinhost\",\n"
       "  \"type\": \"stdio\",\n"
       "  \"${member}\": [${items}]\n"
       "}\n")
endfunction()
set(origins "")
foreach(id IN LISTS TAVRIN_CHROMIUM_IDS)
  list(APPEND origins "chrome-extension://${id}/")
endforeach()
tavrin_host_manifest(${staged}/chromium/${host_name}.json allowed_origins ${origins})
tavrin_host_manifest(${staged}/firefox/${host_name}.json allowed_extensions ${TAVRIN_FIREFOX_IDS})
install(FILES ${staged}/chromium/${host_name}.json DESTINATION ${package_lib}/chromium)
install(FILES ${staged}/firefox/${host_name}.json DESTINATION lib/mozilla/native-messaging-hosts)
file(CREATE_LINK ${package_dir}/chromium/${host_name}.json ${staged}/links/${host_name}.json SYMBOLIC)
foreach(folder /etc/opt/chrome /etc/chromium /etc/opt/edge)
  install(FILES ${staged}/links/${host_name}.json DESTINATION ${folder}/native-messaging-hosts)
endforeach()

# Commands on the PATH: command name, then its file in the package folder.
foreach(pair tavrinhost:tavrinhost tavrinhost-nm:bin/tavrinhost-nm
             tavrinhost-http:bin/tavrinhost-http tavrinhost-install-host:install-host)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 name)
  list(GET pair 1 target)
  file(CREATE_LINK ../${package_lib}/${target} ${staged}/links/bin/${name} SYMBOLIC)
  install(FILES ${staged}/links/bin/${name} DESTINATION bin)
endforeach()

# The HTTP server as a systemd user service, on loopback only.
file(READ examples/tavrinhost.service unit)
string(REGEX REPLACE "^(#[^\n]*\n)+"
       "# systemd user unit for the tavrinhost HTTP server.\n# Start it: systemctl --user enable --now tavrinhost\n"
       unit "${unit}")
string(REGEX REPLACE "\nExecStart=[^\n]*" "\nExecStart=/usr/bin/tavrinhost -s server -p 7777 -b 127.0.0.1"
       unit "${unit}")
file(WRITE ${staged}/tavrinhost.service "${unit}")
install(FILES ${staged}/tavrinhost.service DESTINATION lib/systemd/user)

# Documentation, and where the provider was built from (scripts/bootstrap records it).
install(FILES README.md DESTINATION share/doc/tavrinhost)
install(FILES ${TAVRIN_FIPS_DIR}/SOURCE DESTINATION share/doc/tavrinhost RENAME fips-provider-source
        OPTIONAL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrinhost)
set(CPACK_PACKAGE_VENDOR tavrinhost)
set(CPACK_PACKAGE_CONTACT "tavrinhost maintainers <tavrinhost@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "local encryption service for browser extensions (AES-256, OpenSSL FIPS mode)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tavrinhost encrypts and decrypts payloads with a password (AES-256 GCM, CTR or
CBC, PBKDF2-HMAC-SHA-256) as a browser native-messaging host, as an HTTP server
on loopback, and from two command-line clients. It runs OpenSSL 3 in FIPS mode
with the FIPS provider shipped in this package, configured at installation.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps adds what the programs link: libssl3 (>= 3.0.0), libc6, libstdc++6.
# openssl is the command that postinst runs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openssl")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
