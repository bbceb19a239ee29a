# cmake -DFILE=<exe> -DCERT=<certificates> -DKEY=<private key> [-DTIMESTAMP=<url>]
#       [-DOSSLSIGNCODE=<program>] -P authenticode.cmake
# Signs FILE in place with an Authenticode signature (SHA-256). CERT is the certificate chain
# (PEM or DER, leaf first) and KEY its private key (PEM or DER, unencrypted), as an operator's
# code-signing certificate comes. Without TIMESTAMP the signature carries no counter-signature
# and stops verifying when the certificate expires.
foreach(var FILE CERT KEY)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "authenticode.cmake: ${var} is not given")
    endif()
endforeach()
if(NOT OSSLSIGNCODE)
    find_program(OSSLSIGNCODE osslsigncode REQUIRED)
endif()
set(args sign -certs "${CERT}" -key "${KEY}" -h sha256 -n "VT Launcher")
if(TIMESTAMP)
    list(APPEND args -ts "${TIMESTAMP}")
endif()
# Signed beside the file and moved over it, so a failed signing never leaves half a program.
set(signed "${FILE}.signing")
file(REMOVE "${signed}")
execute_process(COMMAND "${OSSLSIGNCODE}" ${args} -in "${FILE}" -out "${signed}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    file(REMOVE "${signed}")
    message(FATAL_ERROR "Signing ${FILE} failed (${result}):\n${output}")
endif()
file(RENAME "${signed}" "${FILE}")
file(CHMOD "${FILE}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
