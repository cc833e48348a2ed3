import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { createReadStream, readdirSync, readFileSync } from 'node:fs';
import { request } from 'node:http';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { sharedService, nativeFraming, OPERATIONS_TEMPLATE } from './helpers.js';

const MIB = 1024 * 1024;
const service = sharedService();
const incoming = () => readdirSync(join(service.dataDir, 'incoming'));
const stored = async () => (await fetch(`${service.base}/api/envelopes`)).json();
const peakMemory = () => Number(/VmHWM:\s+(\d+) kB/.exec(readFileSync(`/proc/${service.pid}/status`, 'utf8'))[1]) * 1024;

// Streams a generated PDF of `size` bytes (or a request of `body` bytes) in the native framing.
// Each MiB carries its index, so a lost, repeated or reordered piece changes the hash.
async function streamUpload({ size, body, chunked = false, abortAfter = Infinity }) {
  const { head, tail, headers } = nativeFraming({ name: 'Big', flow: 'SIGN_MYSELF', fileName: 'big.pdf', token: service.token });
  size ??= body - head.length - tail.length;
  if (!chunked) headers['Content-Length'] = head.length + size + tail.length;
  const hash = createHash('sha256');
  const block = randomBytes(MIB);
  const req = request(`${service.base}/graphql`, { method: 'POST', headers });
  const answer = once(req, 'response').then(async ([res]) =>
    ({ status: res.statusCode, body: JSON.parse(Buffer.concat(await res.toArray())), sha256: hash.digest('hex') }));
  req.write(head);
  for (let at = 0; at < Math.min(size, abortAfter); at += MIB) {
    const chunk = Buffer.from(block.subarray(0, Math.min(MIB, size - at)));
    if (chunk.length > 12) chunk.writeUInt32BE(at / MIB, 9);
    if (at === 0) chunk.write('%PDF-1.7\n');
    hash.update(chunk);
    if (!req.write(chunk)) await once(req, 'drain');
  }
  if (abortAfter < size) {
    req.destroy();
    return answer.catch(() => null);
  }
  req.end(tail);
  return answer;
}

test('a 150 MiB document is streamed to disk and stored byte for byte, in little memory', { timeout: 60000 }, async () => {
  const before = peakMemory();
  const sent = await streamUpload({ size: 150 * MIB });
  const envelope = (await stored()).find((e) => e.id === sent.body.data?.alphaCreateEnvelope.id);
  assert.deepEqual([envelope?.size, envelope?.sha256], [150 * MIB, sent.sha256], JSON.stringify(sent.body));
  const onDisk = createHash('sha256');
  for await (const chunk of createReadStream(join(service.dataDir, 'envelopes', envelope.id, 'document.pdf'))) onDisk.update(chunk);
  assert.equal(onDisk.digest('hex'), sent.sha256);
  // Holding the body in memory would add at least 150 MiB.
  assert.ok(peakMemory() - before < 100 * MIB, `peak memory grew by ${(peakMemory() - before) / MIB} MiB`);
  assert.deepEqual(incoming(), []);
});

test('uploads over the limits are refused in words; none, nor an abandoned one, leaves anything', { timeout: 90000 }, async () => {
  const count = (await stored()).length;
  const cases = [
    [{ size: 150 * MIB + 1 }, 200, /The document is larger than 150 MB/],
    [{ body: 151 * MIB }, 200, /The document is larger than 150 MB/],
    [{ body: 151 * MIB + 1 }, 413, /larger than 158334976 bytes \(151 MiB\), the limit of this service/],
    [{ body: 151 * MIB + 1, chunked: true }, 413, /the limit of this service/],
  ];
  for (const [upload, status, message] of cases) {
    const answer = await streamUpload(upload);
    assert.equal(answer.status, status, JSON.stringify(upload));
    assert.match(answer.body.errors[0].message, message);
    assert.deepEqual(incoming(), [], JSON.stringify(upload));
  }
  assert.equal(await streamUpload({ size: 20 * MIB, abortAfter: 8 * MIB }), null);
  for (let i = 0; i < 50 && incoming().length > 0; i++) await sleep(100);
  assert.deepEqual(incoming(), [], 'an abandoned upload is removed');
  assert.equal((await stored()).length, count);
});

test('malformed multipart requests and look-alike uploads are refused and store nothing', async () => {
  const count = (await stored()).length;
  const operations = ['operations', OPERATIONS_TEMPLATE.replace('%NAME%', '"Doc"').replace('%FLOW%', '"SIGN_MYSELF"')];
  const pdf = ['0', '%PDF-1.4 tiny', 'd.pdf'];
  const multipart = (...parts) => parts.map(([name, value, file]) =>
    `--B\r\nContent-Disposition: form-data; name="${name}"${file ? `; filename="${file}"` : ''}\r\n\r\n${value}\r\n`).join('') + '--B--\r\n';
  const cases = [
    [multipart(['map', '{"0":["variables.in.documents.0"]}'], pdf), /no "operations" part/],
    [multipart(operations, ['map', '{"1":["variables.in.documents.0"]}'], pdf), /names the file "1", which the request does not carry/],
    [multipart(operations, ['map', '{"0":["variables.in.files.0"]}'], pdf), /path "variables.in.files.0" does not lead to a value/],
    [multipart(operations, ['map', '{"0":["variables.in.documents.0"]}'], pdf, pdf), /two parts named "0"/],
    // A JSON client naming a file on the service's disk must not get it stored.
    [operations[1].replace('[null]', `[{"path":"${join(service.dataDir, 'incoming')}","size":5}]`), /Documents must be sent as files/],
  ];
  for (const [body, message] of cases) {
    const type = body.startsWith('--B') ? 'multipart/form-data; boundary=B' : 'application/json';
    const res = await fetch(`${service.base}/graphql`, { method: 'POST', headers: { ...nativeFraming({ token: service.token }).headers, 'Content-Type': type }, body });
    assert.equal(res.status, 400, String(message));
    assert.match((await res.json()).errors[0].message, message);
    assert.deepEqual(incoming(), [], String(message));
  }
  assert.equal((await stored()).length, count);
});
