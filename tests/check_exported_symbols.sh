#!/usr/bin/env bash
# The shared library exports the factory and the version call undecorated,
# the free functions and the message-layer classes, and nothing else: no
# internals, no standard library instantiations, no libevent or OpenSSL names.
set -euo pipefail
library=$1
symbols=$(nm -D --defined-only "$library" | awk '{print $3}' | sed -E 's/@@?VESK_2$//' | grep -v '^VESK_2$' | c++filt)

fail() { echo "FAIL: $1"; echo "$symbols"; exit 1; }

grep -qx 'VeskMessageSystemCreate' <<<"$symbols" || fail "factory not exported undecorated"
grep -qx 'VeskVersion' <<<"$symbols" || fail "version call not exported undecorated"
grep -qx 'VeskMessageSystemDefaultLimits' <<<"$symbols" || fail "default limits not exported undecorated"
grep -qx 'VeskSessionEndReasonText' <<<"$symbols" || fail "end reason text not exported undecorated"
for function in encrypt_DES_EDE3 decrypt_DES_EDE3 encrypt_BF decrypt_BF get_key_length_DES_EDE3 \
    get_iv_length_DES_EDE3 get_key_length_BF get_iv_length_BF select_random_key select_random_iv \
    RSA_public_encrypt_der RSA_private_decrypt_der RSA_private_encrypt_der RSA_public_decrypt_der \
    RSA_generate_key_der _tcscmp _tcsncpy_s _tcscnlen; do
    grep -q "^${function}(" <<<"$symbols" || fail "$function not exported"
done
grep -q '^VeskMessageSystem::CVeskMessageSession::CVeskMessageSession(' <<<"$symbols" ||
    fail "session handle not exported"
grep -q '^VeskMessageSystem::CVeskMessageUser::CVeskMessageUser(' <<<"$symbols" || fail "user not exported"
grep -q '^typeinfo for VeskMessageSystem::CVeskMessageSession$' <<<"$symbols" || fail "handle typeinfo not exported"
grep -q '^nslookup(char const\*, in_addr\*)$' <<<"$symbols" || fail "nslookup not exported"
if grep -E '^VeskMessageSystem::CVeskMessageSystem::(parse_|notify_|auth\(|cbfunc_|ExtensionCallFunctionsSnapshot)' <<<"$symbols"; then
    fail "private operations of the message system exported"
fi

unexpected=$(grep -v -E '^(VeskMessageSystemCreate$|VeskVersion$|VeskMessageSystemDefaultLimits$|VeskSessionEndReasonText$|(vtable|typeinfo|typeinfo name) for VeskMessageSystem::|VeskMessageSystem::|(encrypt|decrypt)_(DES_EDE3|BF)\(|get_(key|iv)_length_(DES_EDE3|BF)\(|select_random_(key|iv)\(|RSA_(public|private)_(en|de)crypt_der\(|RSA_generate_key_der\(|_tcs(cmp|ncpy_s|cnlen)\(|nslookup\()' <<<"$symbols" || true)
[ -z "$unexpected" ] || fail "unexpected exports: $unexpected"
# The name itself, without its parameter list, must not be internal.
if sed 's/(.*//' <<<"$symbols" | grep -E 'std::|event_|EVP_|OSSL_|vesk::|VeskNetworkSystem::'; then
    fail "internal names exported"
fi
echo "exported symbols: $(wc -l <<<"$symbols")"
