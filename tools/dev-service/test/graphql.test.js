import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { startService, signIn, sharedService, nativeUpload, samplePdf } from './helpers.js';

const service = sharedService();

const gql = () => `${service.base}/graphql`;
const sha = (bytes) => createHash('sha256').update(bytes).digest('hex');
const envelopes = async () => (await fetch(`${service.base}/api/envelopes`)).json();

test('the native multipart upload stores a byte-identical PDF in its flow', async () => {
  const mine = samplePdf('mine');
  const theirs = samplePdf('theirs');
  const a = await fetch(gql(), nativeUpload({ name: 'Lease "2026" \\ draft é', flow: 'SIGN_MYSELF', fileName: '3-Lease.pdf', bytes: mine, token: service.token }));
  assert.equal(a.status, 200);
  const idA = (await a.json()).data.alphaCreateEnvelope.id;
  const b = await fetch(gql(), nativeUpload({ name: 'Offer', flow: 'REQUEST_SIGNATURE', fileName: 'offer.pdf', bytes: theirs, token: service.token, boundary: 'Boundary-FFFFFFFF00000001' }));
  const idB = (await b.json()).data.alphaCreateEnvelope.id;
  assert.notEqual(idA, idB);

  const list = await envelopes();
  const ea = list.find((e) => e.id === idA);
  const eb = list.find((e) => e.id === idB);
  assert.deepEqual([ea.name, ea.flow, ea.size, ea.sha256, ea.fileName], ['Lease "2026" \\ draft é', 'SIGN_MYSELF', mine.length, sha(mine), '3-Lease.pdf']);
  assert.deepEqual([eb.flow, eb.sha256], ['REQUEST_SIGNATURE', sha(theirs)]);

  const pdf = await fetch(`${service.base}/envelopes/${idA}/document.pdf`);
  assert.equal(pdf.headers.get('content-type'), 'application/pdf');
  assert.ok(Buffer.from(await pdf.arrayBuffer()).equals(mine));

  const page = await (await fetch(`${service.base}/envelopes/${idA}`)).text();
  assert.ok(page.includes('Lease &quot;2026&quot; \\ draft é'), 'the name is escaped on the envelope page');
  assert.ok((await (await fetch(`${service.base}/envelopes`)).text()).includes(`/envelopes/${idB}/document.pdf`));
});

test('requests without a valid bearer token or the client headers are refused and store nothing', async () => {
  const before = (await envelopes()).length;
  const bytes = samplePdf();
  const cases = [
    [{ token: null }, 401],
    [{ token: 'at_not-a-token' }, 401],
    [{ clientId: null }, 403],
    [{ clientSecret: 'wrong' }, 403],
  ];
  for (const [override, status] of cases) {
    const res = await fetch(gql(), nativeUpload({ name: 'x', flow: 'SIGN_MYSELF', fileName: 'x.pdf', bytes, token: service.token, ...override }));
    assert.equal(res.status, status, JSON.stringify(override));
  }
  assert.equal((await envelopes()).length, before);
});

test('bad input gives a GraphQL error with a message and stores nothing', async () => {
  const before = (await envelopes()).length;
  const cases = [
    [{ bytes: Buffer.from('hello, not a pdf') }, /not a PDF/],
    [{ bytes: Buffer.alloc(0) }, /empty/],
    [{ flow: 'SIGN_SOMEONE' }, /Unknown envelope flow type "SIGN_SOMEONE"/],
    [{ name: '   ' }, /name must not be empty/],
  ];
  for (const [override, message] of cases) {
    const res = await fetch(gql(), nativeUpload({ name: 'Doc', flow: 'SIGN_MYSELF', fileName: 'd.pdf', bytes: samplePdf(), token: service.token, ...override }));
    // The native client reads errors from a 200 answer: "errors" before any "message".
    assert.equal(res.status, 200);
    const body = await res.json();
    assert.match(body.errors[0].message, message);
    assert.equal(body.data, null);
  }
  assert.equal((await envelopes()).length, before);
});

test('an expired access token is refused', async () => {
  const short = await startService(['--token-ttl', '1']);
  try {
    const { access_token: t } = await signIn(short.base);
    const ok = await fetch(`${short.base}/graphql`, nativeUpload({ name: 'a', flow: 'SIGN_MYSELF', fileName: 'a.pdf', bytes: samplePdf(), token: t }));
    assert.equal(ok.status, 200);
    await new Promise((r) => setTimeout(r, 1100));
    const late = await fetch(`${short.base}/graphql`, nativeUpload({ name: 'a', flow: 'SIGN_MYSELF', fileName: 'a.pdf', bytes: samplePdf(), token: t }));
    assert.equal(late.status, 401);
  } finally {
    await short.stop();
  }
});

test('the service stops cleanly on SIGTERM', async () => {
  const other = await startService();
  assert.deepEqual(await other.stop(), { code: 0, signal: null });
});
