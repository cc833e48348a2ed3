import { before, after } from 'node:test';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const serverScript = join(dirname(fileURLToPath(import.meta.url)), '..', 'server.js');

// Starts the service as its own process on an ephemeral port, the way
// developers and the end-to-end test start it.
export async function startService(extraArgs = []) {
  const dataDir = mkdtempSync(join(tmpdir(), 'dev-service-test-'));
  const child = spawn(process.execPath, [serverScript, '--port', '0', '--data', dataDir, '--quiet', ...extraArgs], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const base = await new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error(`service did not start: ${out}`)), 10000);
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const m = /^dev-service listening on (http:\/\/127\.0\.0\.1:(\d+))$/m.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve(m[1]);
      }
    });
    child.on('exit', (code) => reject(new Error(`service exited with ${code}: ${out}`)));
  });
  async function stop() {
    const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    child.kill('SIGTERM');
    const result = await exited;
    rmSync(dataDir, { recursive: true, force: true });
    return result;
  }
  return { base, dataDir, pid: child.pid, stop };
}

// One signed-in service for all the tests of a file; its fields are there once they run.
export function sharedService() {
  const shared = {};
  before(async () => {
    Object.assign(shared, await startService());
    shared.token = (await signIn(shared.base)).access_token;
  });
  after(() => shared.stop());
  return shared;
}

export function pkcePair() {
  const verifier = randomBytes(32).toString('base64url');
  return { verifier, challenge: createHash('sha256').update(verifier).digest('base64url') };
}

export function form(values) {
  return { method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: new URLSearchParams(values).toString() };
}

// Runs the browser part of a sign-in: the authorisation page and its "Allow".
export async function authorize(base, { challenge, state = 'st-1', redirectUri = 'velunioprinter://callback', decision = 'allow' }) {
  const params = {
    response_type: 'code',
    client_id: 'velunio-printaro',
    redirect_uri: redirectUri,
    state,
    code_challenge: challenge,
    code_challenge_method: 'S256',
  };
  const res = await fetch(`${base}/oauth/authorize`, { ...form({ ...params, decision }), redirect: 'manual' });
  return res;
}

export async function signIn(base) {
  const { verifier, challenge } = pkcePair();
  const res = await authorize(base, { challenge });
  const code = new URL(res.headers.get('location')).searchParams.get('code');
  const tokenRes = await fetch(`${base}/oauth/token`, form({
    grant_type: 'authorization_code',
    code,
    redirect_uri: 'velunioprinter://callback',
    client_id: 'velunio-printaro',
    code_verifier: verifier,
  }));
  return tokenRes.json();
}

export const OPERATIONS_TEMPLATE = '{"query":"mutation($in: AlphaCreateEnvelopeRequest!){ alphaCreateEnvelope(in: $in){ id } }","variables":{"in":{"name":%NAME%,"envelopeFlowType":%FLOW%,"documents":[null]}}}';

// The upload request exactly as the native client frames it: the parts before the
// file's bytes, the closing boundary, and the headers.
export function nativeFraming({ name, flow, fileName, token, clientId = 'sign-web-client', clientSecret = 'Q7rb2Z9TfLwkpe', boundary = 'Boundary-0012AB340000BEEF' }) {
  const operations = OPERATIONS_TEMPLATE.replace('%NAME%', JSON.stringify(name)).replace('%FLOW%', JSON.stringify(flow));
  const crlf = '\r\n';
  const head = Buffer.from(`--${boundary}${crlf}Content-Disposition: form-data; name="operations"${crlf}Content-Type: application/json${crlf}${crlf}` +
    `${operations}${crlf}--${boundary}${crlf}Content-Disposition: form-data; name="map"${crlf}Content-Type: application/json${crlf}${crlf}` +
    `{"0":["variables.in.documents.0"]}${crlf}--${boundary}${crlf}Content-Disposition: form-data; name="0"; filename="${fileName}"${crlf}` +
    `Content-Type: application/pdf${crlf}${crlf}`);
  const tail = Buffer.from(`${crlf}--${boundary}--${crlf}`);
  const headers = { 'Content-Type': `multipart/form-data; boundary=${boundary}` };
  if (token != null) headers.Authorization = `Bearer ${token}`;
  if (clientId != null) headers['x-client-id'] = clientId;
  if (clientSecret != null) headers['x-client-secret'] = clientSecret;
  headers['x-client-version'] = '1.0.0';
  return { head, tail, headers };
}

export function nativeUpload({ bytes, ...framing }) {
  const { head, tail, headers } = nativeFraming(framing);
  return { method: 'POST', headers, body: Buffer.concat([head, bytes, tail]) };
}

// A small PDF whose bytes include what a careless multipart parser mangles:
// CR LF pairs, a line that nearly matches the boundary, NUL and high bytes.
export function samplePdf(extra = '') {
  return Buffer.concat([
    Buffer.from('%PDF-1.4\r\n%\xe2\xe3\xcf\xd3\r\n', 'latin1'),
    Buffer.from(`1 0 obj << /Title (${extra}) >> endobj\r\n--Boundary-0012AB340000BEE0\r\n`),
    randomBytes(4096),
    Buffer.from([0, 13, 10, 13, 10, 0xff]),
    Buffer.from('\n%%EOF\n'),
  ]);
}
