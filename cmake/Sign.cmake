# Signs a Windows program with Authenticode (SHA-256), in place: cmake -DEXE=<file>
# -DBUILD=<build dir> -DDESCRIPTION=<text> -P Sign.cmake.
#
# A release is signed with the key the environment names:
#   KX_SIGN_PKCS12         the PKCS#12 file holding the signing certificate and its key
#   KX_SIGN_PASSWORD       its password
#   KX_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server (optional)
# Without KX_SIGN_PKCS12 the build signs with a throwaway test certificate of its own,
# issued by a test authority, both made once under <build dir>/signing with openssl, so
# that a package is never unsigned and the step runs on every build. The authority to
# verify against is written to <build dir>/signing/verify-with.txt (empty: the system's).
cmake_minimum_required(VERSION 3.20)

set(dir ${BUILD}/signing)
file(MAKE_DIRECTORY ${dir})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(result)
        message(FATAL_ERROR "signing: ${ARGV0} failed (${result}): ${out}")
    endif()
endfunction()

if(DEFINED ENV{KX_SIGN_PKCS12} AND NOT "$ENV{KX_SIGN_PKCS12}" STREQUAL "")
    set(pkcs12 $ENV{KX_SIGN_PKCS12})
    set(password $ENV{KX_SIGN_PASSWORD})
    file(WRITE ${dir}/verify-with.txt "")
else()
    set(pkcs12 ${dir}/test-signer.p12)
    set(password kestrix-test)
    if(NOT EXISTS ${pkcs12})
        file(WRITE ${dir}/signer.ext
             "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
        run(openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650
            -subj "/CN=Kestrix Test Authority (not for release)"
            -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
            -keyout ${dir}/test-authority.key -out ${dir}/test-authority.pem)
        run(openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=Kestrix Test Signer (not for release)"
            -keyout ${dir}/test-signer.key -out ${dir}/test-signer.csr)
        run(openssl x509 -req -sha256 -days 3650 -in ${dir}/test-signer.csr
            -CA ${dir}/test-authority.pem -CAkey ${dir}/test-authority.key -CAcreateserial
            -extfile ${dir}/signer.ext -out ${dir}/test-signer.pem)
        run(openssl pkcs12 -export -inkey ${dir}/test-signer.key -in ${dir}/test-signer.pem
            -certfile ${dir}/test-authority.pem -passout pass:${password} -out ${pkcs12}.part)
        file(RENAME ${pkcs12}.part ${pkcs12})
    endif()
    file(WRITE ${dir}/verify-with.txt ${dir}/test-authority.pem)
endif()

set(timestamp)
if(DEFINED ENV{KX_SIGN_TIMESTAMP_URL} AND NOT "$ENV{KX_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(timestamp -ts $ENV{KX_SIGN_TIMESTAMP_URL})
endif()
file(REMOVE ${EXE}.signed)
run(osslsigncode sign -pkcs12 ${pkcs12} -pass ${password} -h sha256 -n ${DESCRIPTION}
    ${timestamp} -in ${EXE} -out ${EXE}.signed)
file(RENAME ${EXE}.signed ${EXE})
