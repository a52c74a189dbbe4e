# Development signing identity and the signing step of trusted programs; filled in with the
# code-signature library.
function(quorvantile_sign_executable target identifier)
endfunction()
