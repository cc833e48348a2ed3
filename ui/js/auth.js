// Sign-in with the authorisation code grant and PKCE through the user's
// browser; tokens kept in local storage and refreshed when they run out.
import { randomToken, challengeS256 } from './pkce.js';

export const TOKENS_KEY = 'velunio.tokens';
export const PENDING_KEY = 'velunio.pendingSignIn';
// A sign-in started in the browser and not finished by then is forgotten.
export const PENDING_LIFETIME_MS = 15 * 60 * 1000;
// Tokens are renewed this long before they run out, so that an upload
// started just before expiry does not reach the service with a dead token.
export const EXPIRY_MARGIN_MS = 60 * 1000;

export class SignInError extends Error {
  constructor(message, { signedOut = false, detail = null } = {}) {
    super(message);
    this.signedOut = signedOut;
    this.detail = detail;
  }
}

export function buildAuthorizeUrl(config, { state, challenge }) {
  const url = new URL(config.authorizeUrl);
  url.searchParams.set('response_type', 'code');
  url.searchParams.set('client_id', config.clientId);
  url.searchParams.set('redirect_uri', config.redirectUri);
  if (config.scope) url.searchParams.set('scope', config.scope);
  url.searchParams.set('state', state);
  url.searchParams.set('code_challenge', challenge);
  url.searchParams.set('code_challenge_method', 'S256');
  return url.href;
}

// Returns the parameters of a callback URL meant for this sign-in, or null
// for any other URL.
export function parseCallbackUrl(text, redirectUri) {
  if (typeof text !== 'string') return null;
  const cut = text.search(/[?#]/);
  const base = cut < 0 ? text : text.slice(0, cut);
  if (base !== redirectUri && base !== `${redirectUri}/`) return null;
  const query = cut < 0 || text[cut] !== '?' ? '' : text.slice(cut + 1).split('#')[0];
  const params = new URLSearchParams(query);
  return {
    code: params.get('code'),
    state: params.get('state'),
    error: params.get('error'),
    errorDescription: params.get('error_description'),
  };
}

export function authorizationCodeBody(config, code, verifier) {
  return new URLSearchParams({
    grant_type: 'authorization_code',
    code,
    redirect_uri: config.redirectUri,
    client_id: config.clientId,
    code_verifier: verifier,
  }).toString();
}

export function refreshBody(config, refreshToken) {
  return new URLSearchParams({
    grant_type: 'refresh_token',
    refresh_token: refreshToken,
    client_id: config.clientId,
  }).toString();
}

// The signed-in account as the answer names it: a member of its own, or the
// claims of an ID token. Shown only, never trusted, so the token's signature
// is not checked.
export function accountName(value) {
  const named = (v) => (typeof v === 'string' && v.trim() !== '' ? v.trim() : null);
  const from = (o) => (o && typeof o === 'object' ? named(o.email) ?? named(o.preferred_username) ?? named(o.username) ?? named(o.name) : null);
  let claims = null;
  if (typeof value.id_token === 'string') {
    try {
      const part = value.id_token.split('.')[1].replace(/-/g, '+').replace(/_/g, '/');
      claims = JSON.parse(new TextDecoder().decode(Uint8Array.from(atob(part), (c) => c.charCodeAt(0))));
    } catch {
      claims = null;
    }
  }
  return named(value.account) ?? from(value.account) ?? from(value.user) ?? from(value) ?? from(claims);
}

// Reads a token endpoint answer into the record kept in storage.
export function parseTokenResponse(text, now) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    throw new SignInError('The sign-in service sent an answer that could not be read.', { detail: text });
  }
  if (!value || typeof value.access_token !== 'string' || value.access_token === '') {
    throw new SignInError('The sign-in service did not send an access token.', { detail: text });
  }
  if (value.token_type && String(value.token_type).toLowerCase() !== 'bearer') {
    throw new SignInError('The sign-in service sent a token of an unknown kind.', { detail: text });
  }
  const seconds = Number(value.expires_in);
  return {
    accessToken: value.access_token,
    refreshToken: typeof value.refresh_token === 'string' && value.refresh_token ? value.refresh_token : null,
    // Without a lifetime the token is taken to last until the service refuses it.
    expiresAt: Number.isFinite(seconds) && seconds > 0 ? now + seconds * 1000 : null,
    account: accountName(value),
  };
}

// The native side reports a refused request as "HTTP <status>: <body>";
// anything else means the service could not be reached at all.
export function isRefusal(error) {
  return /^HTTP 4\d\d\b/.test(error ?? '');
}

function readJson(storage, key) {
  try {
    const text = storage.getItem(key);
    return text ? JSON.parse(text) : null;
  } catch {
    return null;
  }
}

export function createAuth({ config, bridge, storage, crypto, now = () => Date.now() }) {
  const listeners = [];
  let refreshing = null;

  function tokens() {
    const t = readJson(storage, TOKENS_KEY);
    return t && typeof t.accessToken === 'string' ? t : null;
  }

  function notify() {
    const signedIn = tokens() !== null;
    for (const fn of listeners) fn(signedIn);
  }

  function saveTokens(t) {
    storage.setItem(TOKENS_KEY, JSON.stringify(t));
    notify();
  }

  function signOut() {
    storage.removeItem(TOKENS_KEY);
    storage.removeItem(PENDING_KEY);
    refreshing = null;
    notify();
  }

  function pending() {
    const p = readJson(storage, PENDING_KEY);
    if (!p || typeof p.state !== 'string' || typeof p.verifier !== 'string') return null;
    if (!(now() - p.createdAt < PENDING_LIFETIME_MS)) return null;
    return p;
  }

  async function beginSignIn() {
    const verifier = randomToken(crypto);
    const state = randomToken(crypto, 16);
    const challenge = await challengeS256(verifier, crypto);
    const url = buildAuthorizeUrl(config, { state, challenge });
    storage.setItem(PENDING_KEY, JSON.stringify({ state, verifier, url, createdAt: now() }));
    bridge.openBrowser(url);
    return url;
  }

  // Finishes a sign-in from the callback URL. Resolves to true when the user
  // is signed in, false when the URL is not an answer to a sign-in of ours;
  // rejects with a SignInError whose message is written for the user.
  async function completeSignIn(url) {
    const answer = parseCallbackUrl(url, config.redirectUri);
    if (!answer) return false;
    const p = pending();
    if (!p) {
      // A late or repeated callback: nothing of ours is waiting for it.
      if (tokens()) return false;
      throw new SignInError('This sign-in has expired. Please sign in again.');
    }
    if (answer.state !== p.state) {
      // Keep the pending sign-in: the answer of the real one may still come.
      throw new SignInError('The answer from your browser did not belong to this sign-in. Please sign in again.');
    }
    storage.removeItem(PENDING_KEY);
    if (answer.error) {
      throw new SignInError(answer.error === 'access_denied'
        ? 'Sign-in was cancelled in the browser.'
        : 'The sign-in service could not sign you in. Please try again.', { detail: answer.errorDescription ?? answer.error });
    }
    if (!answer.code) throw new SignInError('The sign-in service did not send a sign-in code. Please try again.');
    const { response, error } = await bridge.postToken(config.tokenUrl, authorizationCodeBody(config, answer.code, p.verifier));
    if (error !== null) {
      throw new SignInError(isRefusal(error)
        ? 'The sign-in service refused the sign-in. Please try again.'
        : 'The sign-in service could not be reached. Check your connection and try again.', { detail: error });
    }
    saveTokens(parseTokenResponse(response, now()));
    return true;
  }

  async function refresh(current) {
    if (!current.refreshToken) {
      signOut();
      throw new SignInError('Your sign-in has expired. Please sign in again.', { signedOut: true });
    }
    const { response, error } = await bridge.postToken(config.tokenUrl, refreshBody(config, current.refreshToken));
    if (error !== null) {
      if (isRefusal(error)) {
        signOut();
        throw new SignInError('Your sign-in has expired. Please sign in again.', { signedOut: true, detail: error });
      }
      throw new SignInError('The sign-in service could not be reached. Check your connection and try again.', { detail: error });
    }
    const fresh = parseTokenResponse(response, now());
    // A service that does not rotate refresh tokens keeps the old one valid.
    if (!fresh.refreshToken) fresh.refreshToken = current.refreshToken;
    if (!fresh.account) fresh.account = current.account ?? null;
    saveTokens(fresh);
    return fresh.accessToken;
  }

  // Resolves to a usable access token, renewing it first when it has run out
  // (or when `force` says the service refused it); null when signed out.
  async function accessToken({ force = false } = {}) {
    const current = tokens();
    if (!current) return null;
    const fresh = current.expiresAt === null || current.expiresAt - EXPIRY_MARGIN_MS > now();
    if (fresh && !force) return current.accessToken;
    // Callers asking together share one renewal, since a refresh token is spent by its use.
    if (!refreshing) {
      refreshing = refresh(current).finally(() => { refreshing = null; });
    }
    return refreshing;
  }

  return {
    isSignedIn: () => tokens() !== null,
    hasPendingSignIn: () => pending() !== null,
    // The address the browser was asked to open, for the user to copy.
    pendingSignInUrl: () => pending()?.url ?? null,
    account: () => tokens()?.account ?? null,
    beginSignIn,
    completeSignIn,
    accessToken,
    signOut,
    onChange(fn) {
      listeners.push(fn);
    },
  };
}
