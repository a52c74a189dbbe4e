# Creates the development signing identity in DIRECTORY: anchor.pem (a self-signed CA), team.pem (a
# code-signing certificate with OU=TEAM issued by it) and team.key. The anchor's key is deleted
# once the team certificate exists.
#   cmake -DOPENSSL=<openssl> -DDIRECTORY=<dir> -DTEAM=<team identifier> -P development-identity.cmake
set(work ${DIRECTORY}/.generating)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
file(CHMOD ${work} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

function(run_openssl)
  execute_process(COMMAND ${OPENSSL} ${ARGN}
    WORKING_DIRECTORY ${work} RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    file(REMOVE_RECURSE ${work})
    message(FATAL_ERROR "openssl ${ARGV0} failed: ${error}")
  endif()
endfunction()

set(days 3650)
set(curve -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
run_openssl(req -x509 -new ${curve} -keyout anchor.key -out anchor.pem -days ${days}
  -subj "/O=Quorvantile Development/CN=Quorvantile Development Anchor"
  -addext "basicConstraints=critical,CA:TRUE"
  -addext "keyUsage=critical,keyCertSign,cRLSign")
run_openssl(req -new ${curve} -keyout team.key -out team.csr
  -subj "/O=Quorvantile Development/OU=${TEAM}/CN=Quorvantile Development Team ${TEAM}"
  -addext "basicConstraints=critical,CA:FALSE"
  -addext "keyUsage=critical,digitalSignature"
  -addext "extendedKeyUsage=critical,codeSigning")
run_openssl(x509 -req -in team.csr -CA anchor.pem -CAkey anchor.key -days ${days}
  -copy_extensions copyall -out team.pem)

file(CHMOD ${work}/team.key PERMISSIONS OWNER_READ OWNER_WRITE)
foreach(name team.key team.pem anchor.pem)
  file(RENAME ${work}/${name} ${DIRECTORY}/${name})
endforeach()
file(REMOVE_RECURSE ${work})
