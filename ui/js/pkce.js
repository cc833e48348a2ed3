// PKCE (RFC 7636) with the S256 method, on WebCrypto so the same code runs
// in the web view and under Node.

export function base64url(bytes) {
  let binary = '';
  for (const b of bytes) binary += String.fromCharCode(b);
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

// 32 random bytes give a 43-character verifier, the shortest the RFC allows,
// with 256 bits of entropy. Also used for the state parameter.
export function randomToken(crypto, byteCount = 32) {
  const bytes = new Uint8Array(byteCount);
  crypto.getRandomValues(bytes);
  return base64url(bytes);
}

export async function challengeS256(verifier, crypto) {
  const digest = await crypto.subtle.digest('SHA-256', new TextEncoder().encode(verifier));
  return base64url(new Uint8Array(digest));
}
