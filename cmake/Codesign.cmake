# Code signing in the build: a development signing identity generated once per build folder, the
# vendor anchors that the companion is compiled against, and the signing step of trusted programs.
#
# The development identity (a self-signed anchor and a team code-signing certificate with its key)
# lives only in ${CMAKE_BINARY_DIR}/codesign/development/. The anchor's own key is discarded as soon
# as the team certificate is issued, so nothing else can ever chain to that anchor. A maker's build
# sets QUORVANTILE_VENDOR_ANCHORS to the maker's anchor and QUORVANTILE_SIGNING_CERTIFICATE, _KEY and
# _CHAIN to the maker's team identity instead.

find_program(QUORVANTILE_OPENSSL_PROGRAM openssl REQUIRED)

set(QUORVANTILE_TEAM_IDENTIFIER "7Q4KX2M8PZ")
set(QUORVANTILE_DEVELOPMENT_IDENTITY_DIR ${CMAKE_BINARY_DIR}/codesign/development)
set(QUORVANTILE_DEVELOPMENT_ANCHOR ${QUORVANTILE_DEVELOPMENT_IDENTITY_DIR}/anchor.pem)
set(QUORVANTILE_DEVELOPMENT_CERTIFICATE ${QUORVANTILE_DEVELOPMENT_IDENTITY_DIR}/team.pem)
set(QUORVANTILE_DEVELOPMENT_KEY ${QUORVANTILE_DEVELOPMENT_IDENTITY_DIR}/team.key)

set(QUORVANTILE_VENDOR_ANCHORS ${QUORVANTILE_DEVELOPMENT_ANCHOR} CACHE FILEPATH
  "PEM file of the vendor anchors whose signatures the companion trusts (default: the build's development anchor)")

if(NOT QUORVANTILE_VENDOR_ANCHORS STREQUAL QUORVANTILE_DEVELOPMENT_ANCHOR AND NOT EXISTS "${QUORVANTILE_VENDOR_ANCHORS}")
  message(FATAL_ERROR "QUORVANTILE_VENDOR_ANCHORS names ${QUORVANTILE_VENDOR_ANCHORS}, which does not exist")
endif()

# The identity that signs the trusted programs of this build. A maker's build names its own team
# certificate, unencrypted key and intermediate chain; the default is the development identity.
set(QUORVANTILE_SIGNING_CERTIFICATE ${QUORVANTILE_DEVELOPMENT_CERTIFICATE} CACHE FILEPATH
  "PEM code-signing certificate of the team that signs the trusted programs (default: the development one)")
set(QUORVANTILE_SIGNING_KEY ${QUORVANTILE_DEVELOPMENT_KEY} CACHE FILEPATH
  "PEM private key of QUORVANTILE_SIGNING_CERTIFICATE, unencrypted")
set(QUORVANTILE_SIGNING_CHAIN "" CACHE FILEPATH
  "PEM intermediate certificates between QUORVANTILE_SIGNING_CERTIFICATE and the vendor anchor (optional)")
set(development_signing OFF)
if(QUORVANTILE_SIGNING_CERTIFICATE STREQUAL QUORVANTILE_DEVELOPMENT_CERTIFICATE
   AND QUORVANTILE_SIGNING_KEY STREQUAL QUORVANTILE_DEVELOPMENT_KEY)
  set(development_signing ON)
else()
  foreach(file QUORVANTILE_SIGNING_CERTIFICATE QUORVANTILE_SIGNING_KEY QUORVANTILE_SIGNING_CHAIN)
    if(NOT "${${file}}" STREQUAL "" AND NOT EXISTS "${${file}}")
      message(FATAL_ERROR "${file} names ${${file}}, which does not exist")
    endif()
  endforeach()
endif()
if(development_signing AND NOT QUORVANTILE_VENDOR_ANCHORS STREQUAL QUORVANTILE_DEVELOPMENT_ANCHOR)
  message(WARNING "the companion trusts ${QUORVANTILE_VENDOR_ANCHORS}, but the programs are signed with the "
    "development identity: set QUORVANTILE_SIGNING_CERTIFICATE and QUORVANTILE_SIGNING_KEY to the maker's")
endif()

add_custom_command(
  OUTPUT ${QUORVANTILE_DEVELOPMENT_ANCHOR} ${QUORVANTILE_DEVELOPMENT_CERTIFICATE} ${QUORVANTILE_DEVELOPMENT_KEY}
  COMMAND ${CMAKE_COMMAND} -DOPENSSL=${QUORVANTILE_OPENSSL_PROGRAM} -DDIRECTORY=${QUORVANTILE_DEVELOPMENT_IDENTITY_DIR}
          -DTEAM=${QUORVANTILE_TEAM_IDENTIFIER} -P ${PROJECT_SOURCE_DIR}/tools/codesign/development-identity.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/codesign/development-identity.cmake
  COMMENT "Generating the development signing identity (team ${QUORVANTILE_TEAM_IDENTIFIER})"
  VERBATIM)
add_custom_target(quorvantile_development_identity ALL
  DEPENDS ${QUORVANTILE_DEVELOPMENT_ANCHOR} ${QUORVANTILE_DEVELOPMENT_CERTIFICATE} ${QUORVANTILE_DEVELOPMENT_KEY})

# Signs the output of executable `target` as `identifier` with the signing identity, after every link:
#   quorvantile_sign_executable(quorvantile-sensors com.zembo.quorvantile.sensors)
function(quorvantile_sign_executable target identifier)
  add_dependencies(${target} quorvantile_development_identity quorvantile-codesign)
  # A new identity means a new signature: relink (and so re-sign) when it changes.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${QUORVANTILE_SIGNING_CERTIFICATE})
  set(chain)
  if(QUORVANTILE_SIGNING_CHAIN)
    set(chain --chain ${QUORVANTILE_SIGNING_CHAIN})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:quorvantile-codesign> sign
            --identifier ${identifier}
            --certificate ${QUORVANTILE_SIGNING_CERTIFICATE}
            --key ${QUORVANTILE_SIGNING_KEY}
            ${chain}
            $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} as ${identifier}"
    VERBATIM)
endfunction()
