// The development signing service: OAuth endpoints, the GraphQL endpoint,
// and pages listing what was received. Loopback only.
import http from 'node:http';
import { createReadStream } from 'node:fs';
import { createAuthority, OAuthError } from './oauth.js';
import { createEnvelopeStore } from './store.js';
import { createGraphqlHandler } from './graphql.js';
import { isMultipart, readMultipartRequest, RequestAbandoned, RequestError } from './multipart.js';
import { authorizePage, redirectPage, errorPage, envelopesPage, envelopePage } from './pages.js';

export const CLIENT_HEADER_ID = 'sign-web-client';
export const CLIENT_HEADER_SECRET = 'Q7rb2Z9TfLwkpe';
const MAX_FORM_BYTES = 64 * 1024;
const PAGE_HEADERS = {
  'Content-Type': 'text/html; charset=utf-8',
  'Content-Security-Policy': "default-src 'none'; style-src 'unsafe-inline'; form-action 'self' velunioprinter:",
  'Cache-Control': 'no-store',
};

function send(res, status, headers, body) {
  res.writeHead(status, headers);
  res.end(body);
}

function sendJson(res, status, value, extra = {}) {
  send(res, status, { 'Content-Type': 'application/json', 'Cache-Control': 'no-store', ...extra }, JSON.stringify(value));
}

function readForm(req) {
  return new Promise((resolve, reject) => {
    const type = (req.headers['content-type'] ?? '').split(';')[0].trim().toLowerCase();
    if (type !== 'application/x-www-form-urlencoded') {
      reject(new OAuthError('invalid_request', 'The body must be application/x-www-form-urlencoded.'));
      req.resume();
      return;
    }
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_FORM_BYTES) {
        reject(new OAuthError('invalid_request', 'The body is too large.', 413));
        req.destroy();
        return;
      }
      chunks.push(chunk);
    });
    req.on('end', () => resolve(new URLSearchParams(Buffer.concat(chunks).toString('utf8'))));
    req.on('error', reject);
  });
}

function graphqlRefusal(res, status, message, extra = {}) {
  sendJson(res, status, { errors: [{ message }] }, extra);
}

export function createService({ dataDir, tokenTtlSeconds = 3600, log = () => {} }) {
  const authority = createAuthority({ tokenTtlSeconds });
  const store = createEnvelopeStore(dataDir);
  const graphqlHandler = createGraphqlHandler({ store, log });

  async function authorize(req, res, url) {
    const params = req.method === 'POST' ? await readForm(req) : url.searchParams;
    let request;
    try {
      request = authority.checkAuthorizeRequest(params);
    } catch (e) {
      if (!(e instanceof OAuthError)) throw e;
      send(res, 400, PAGE_HEADERS, errorPage('Sign-in request refused', e.message));
      return;
    }
    if (req.method === 'GET') {
      send(res, 200, PAGE_HEADERS, authorizePage(request));
      return;
    }
    const target = new URL(request.redirectUri);
    if (params.get('decision') === 'allow') {
      target.searchParams.set('code', authority.issueCode(request));
      log(`authorisation granted (state ${request.state})`);
    } else {
      target.searchParams.set('error', 'access_denied');
      log(`authorisation denied (state ${request.state})`);
    }
    target.searchParams.set('state', request.state);
    send(res, 302, { ...PAGE_HEADERS, Location: target.href }, redirectPage(target.href));
  }

  async function token(req, res) {
    try {
      const result = authority.token(await readForm(req));
      log('token issued');
      sendJson(res, 200, result, { Pragma: 'no-cache' });
    } catch (e) {
      if (!(e instanceof OAuthError)) throw e;
      log(`token refused: ${e.error}`);
      sendJson(res, e.status, { error: e.error, error_description: e.message });
    }
  }

  async function graphql(req, res) {
    const auth = req.headers.authorization ?? '';
    const match = /^Bearer ([^\s]+)$/.exec(auth);
    if (!match || !authority.checkAccessToken(match[1])) {
      graphqlRefusal(res, 401, 'A valid bearer token is required.', { 'WWW-Authenticate': 'Bearer error="invalid_token"' });
      req.resume();
      return;
    }
    if (req.headers['x-client-id'] !== CLIENT_HEADER_ID || req.headers['x-client-secret'] !== CLIENT_HEADER_SECRET) {
      graphqlRefusal(res, 403, 'Unknown client.');
      req.resume();
      return;
    }
    log(`graphql request from client version ${req.headers['x-client-version'] ?? '(none)'}`);
    if (!isMultipart(req)) return graphqlHandler.handle(req, res);
    let read;
    try {
      read = await readMultipartRequest(req, store.incomingDir);
    } catch (e) {
      if (e instanceof RequestAbandoned) {
        log(`upload not received: ${e.message}`);
        return res.destroy();
      }
      if (!(e instanceof RequestError)) throw e;
      log(`upload refused: ${e.message}`);
      return graphqlRefusal(res, e.status, e.message);
    }
    try {
      return await graphqlHandler.handleRead(req, res, read);
    } finally {
      read.discard();
    }
  }

  function envelopes(req, res, path) {
    if (path === '/envelopes' || path === '/envelopes/') {
      send(res, 200, PAGE_HEADERS, envelopesPage(store.list()));
      return;
    }
    const m = /^\/envelopes\/([^/]+)(\/document\.pdf)?$/.exec(path);
    const meta = m && store.get(m[1]);
    if (!meta) {
      send(res, 404, PAGE_HEADERS, errorPage('Envelope not found', 'There is no envelope at this address.'));
      return;
    }
    if (!m[2]) {
      send(res, 200, PAGE_HEADERS, envelopePage(meta));
      return;
    }
    const file = store.documentPath(meta.id);
    if (!file) {
      send(res, 404, PAGE_HEADERS, errorPage('Document not found', 'The document of this envelope is missing.'));
      return;
    }
    res.writeHead(200, {
      'Content-Type': 'application/pdf',
      'Content-Length': meta.size,
      'Content-Disposition': 'inline; filename="document.pdf"',
    });
    createReadStream(file).pipe(res);
  }

  async function route(req, res) {
    const url = new URL(req.url, 'http://127.0.0.1');
    const path = url.pathname;
    if (path === '/graphql') return graphql(req, res);
    if (path === '/oauth/authorize' && (req.method === 'GET' || req.method === 'POST')) return authorize(req, res, url);
    if (path === '/oauth/token' && req.method === 'POST') return token(req, res);
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      send(res, 405, { 'Content-Type': 'text/plain' }, 'Method not allowed\n');
      return undefined;
    }
    if (path === '/') {
      send(res, 302, { Location: '/envelopes' }, '');
      return undefined;
    }
    if (path === '/api/health') return sendJson(res, 200, { ok: true });
    if (path === '/api/envelopes') return sendJson(res, 200, store.list());
    if (path.startsWith('/envelopes')) return envelopes(req, res, path);
    send(res, 404, { 'Content-Type': 'text/plain' }, 'Not found\n');
    return undefined;
  }

  const server = http.createServer((req, res) => {
    Promise.resolve(route(req, res)).catch((e) => {
      if (e instanceof OAuthError) {
        if (!res.headersSent) sendJson(res, e.status, { error: e.error, error_description: e.message });
        return;
      }
      log(`internal error: ${e.stack ?? e}`);
      if (!res.headersSent) send(res, 500, { 'Content-Type': 'text/plain' }, 'Internal error\n');
      else res.destroy();
    });
  });

  function listen(port) {
    return new Promise((resolve, reject) => {
      server.once('error', reject);
      server.listen(port, '127.0.0.1', () => {
        server.off('error', reject);
        resolve(server.address().port);
      });
    });
  }

  function close() {
    return new Promise((resolve) => {
      server.close(() => resolve());
      server.closeAllConnections();
    });
  }

  return { server, store, authority, listen, close };
}
