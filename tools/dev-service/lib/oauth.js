// Authorisation codes and tokens of the development service: the
// authorisation code grant with PKCE (S256 only) and the refresh token grant.
import { createHash, randomBytes, timingSafeEqual } from 'node:crypto';

export const CLIENT_ID = 'velunio-printaro';
export const REDIRECT_URIS = ['velunioprinter://callback'];
const CODE_LIFETIME_MS = 5 * 60 * 1000;
const VERIFIER_PATTERN = /^[A-Za-z0-9\-._~]{43,128}$/;

export function s256(verifier) {
  return createHash('sha256').update(verifier, 'ascii').digest('base64url');
}

function sameText(a, b) {
  const x = Buffer.from(String(a));
  const y = Buffer.from(String(b));
  return x.length === y.length && timingSafeEqual(x, y);
}

function secret(prefix) {
  return prefix + randomBytes(24).toString('base64url');
}

export class OAuthError extends Error {
  constructor(error, description, status = 400) {
    super(description);
    this.error = error;
    this.status = status;
  }
}

export function createAuthority({ tokenTtlSeconds = 3600, now = () => Date.now() } = {}) {
  const codes = new Map();
  const accessTokens = new Map();
  const refreshTokens = new Map();

  // Checks an authorisation request; returns its parameters or throws.
  // The redirect URI is checked first and strictly, so that no error is
  // ever sent to an address the service does not know.
  function checkAuthorizeRequest(params) {
    const redirectUri = params.get('redirect_uri');
    if (!REDIRECT_URIS.includes(redirectUri)) {
      throw new OAuthError('invalid_request', 'Unknown redirect_uri.');
    }
    if (params.get('client_id') !== CLIENT_ID) throw new OAuthError('unauthorized_client', 'Unknown client_id.');
    if (params.get('response_type') !== 'code') throw new OAuthError('unsupported_response_type', 'Only response_type=code is supported.');
    const challenge = params.get('code_challenge') ?? '';
    if (params.get('code_challenge_method') !== 'S256' || !/^[A-Za-z0-9_-]{43}$/.test(challenge)) {
      throw new OAuthError('invalid_request', 'A code_challenge with code_challenge_method=S256 is required.');
    }
    return {
      clientId: CLIENT_ID,
      redirectUri,
      state: params.get('state') ?? '',
      scope: params.get('scope') ?? '',
      challenge,
    };
  }

  function issueCode(request) {
    const code = secret('code_');
    codes.set(code, { ...request, expiresAt: now() + CODE_LIFETIME_MS });
    return code;
  }

  function issueTokens(clientId, scope) {
    const access = secret('at_');
    const refresh = secret('rt_');
    accessTokens.set(access, { clientId, scope, expiresAt: now() + tokenTtlSeconds * 1000 });
    refreshTokens.set(refresh, { clientId, scope });
    return {
      access_token: access,
      token_type: 'Bearer',
      expires_in: tokenTtlSeconds,
      refresh_token: refresh,
      scope,
    };
  }

  function token(params) {
    const grant = params.get('grant_type');
    if (grant === 'authorization_code') {
      const code = params.get('code') ?? '';
      const entry = codes.get(code);
      // A code is good for one exchange, whatever its outcome.
      codes.delete(code);
      if (!entry || entry.expiresAt < now()) throw new OAuthError('invalid_grant', 'The authorization code is unknown, used or expired.');
      if (params.get('client_id') !== entry.clientId) throw new OAuthError('invalid_client', 'client_id does not match the authorization request.', 401);
      if (params.get('redirect_uri') !== entry.redirectUri) throw new OAuthError('invalid_grant', 'redirect_uri does not match the authorization request.');
      const verifier = params.get('code_verifier') ?? '';
      if (!VERIFIER_PATTERN.test(verifier) || !sameText(s256(verifier), entry.challenge)) {
        throw new OAuthError('invalid_grant', 'code_verifier does not match the code_challenge.');
      }
      return issueTokens(entry.clientId, entry.scope);
    }
    if (grant === 'refresh_token') {
      const refresh = params.get('refresh_token') ?? '';
      const entry = refreshTokens.get(refresh);
      if (!entry) throw new OAuthError('invalid_grant', 'The refresh token is unknown or was already used.');
      if (params.get('client_id') !== entry.clientId) throw new OAuthError('invalid_client', 'client_id does not match the refresh token.', 401);
      // Refresh tokens rotate: the one presented is spent.
      refreshTokens.delete(refresh);
      return issueTokens(entry.clientId, entry.scope);
    }
    throw new OAuthError('unsupported_grant_type', 'Only authorization_code and refresh_token are supported.');
  }

  // Returns the grant behind a bearer token, or null when it is unknown or expired.
  function checkAccessToken(value) {
    const entry = accessTokens.get(value);
    if (!entry) return null;
    if (entry.expiresAt <= now()) {
      accessTokens.delete(value);
      return null;
    }
    return entry;
  }

  return { checkAuthorizeRequest, issueCode, token, checkAccessToken };
}
