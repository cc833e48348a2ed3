import { test } from 'node:test';
import assert from 'node:assert/strict';
import { defaultEnvelopeName, cleanEnvelopeName, parseUploadResult, createDocumentStore, DOCUMENT_KEY_PREFIX, LEGACY_DOCUMENTS_KEY } from '../../ui/js/documents.js';
import { describeUploadError, uploadErrorKind, formatProgress } from '../../ui/js/words.js';
import { memoryStorage } from './helpers.js';

test('names come from the file and reach the native side unaltered; upload results are read in both forms', () => {
  assert.deepEqual(['C:\\u\\sign-myself\\3-Lease.pdf', "/o/4-It's.PDF", '/o/.pdf'].map(defaultEnvelopeName), ['3-Lease', "4-It's", 'Printed document']);
  assert.equal(cleanEnvelopeName(' a\u0001b\n\tc \ud800 😀 '), 'a b c \ufffd 😀');
  assert.deepEqual(['{"path":"/a.pdf","envelopeId":"env_1"}', '{"path":"C:\\\\a.pdf","error":"HTTP 401"}', '{"path":"/a.pdf","envelopeId":""}', 'not json', '{"envelopeId":"x"}']
    .map(parseUploadResult), [{ path: '/a.pdf', envelopeId: 'env_1' }, { path: 'C:\\a.pdf', error: 'HTTP 401' }, { path: '/a.pdf', error: 'Missing envelope id in response' }, null, null]);
});

test('native error texts are read by meaning; the words say what to do and the raw text stays as the detail', () => {
  for (const [raw, kind] of [
    ['curl_easy_perform failed (curl 28: Operation timed out after 30000 milliseconds)', 'timeout'], ['WinHttpSendRequest failed (12002)', 'timeout'],
    ["curl_easy_perform failed (curl 7: Couldn't connect to server)", 'unreachable'], ['WinHttpSendRequest failed (12029: Cannot connect)', 'unreachable'],
    ['WinHttpReceiveResponse failed (12030)', 'lost'], ['curl_easy_perform failed (curl 60: SSL certificate problem)', 'secure'],
    ['curl_easy_perform failed (curl 99: the connection timed out)', 'timeout'], ['curl_easy_perform failed (curl 99)', 'network'],
    ['HTTP request failed', 'network'], ['HTTP 401', 'signIn'], ['Invalid token', 'signIn'], ['HTTP 413', 'serviceTooLarge'], ['HTTP 503', 'busy'],
    ['HTTP 400', 'notCreated'], ['The document is not a PDF file.', 'notPdf'], ['{"code":"UNAUTHENTICATED"}', 'signIn'], ['Something odd', 'notCreated'],
    ['Missing envelope id in response', 'noEnvelope'], ['Cannot read file', 'unreadable'], ['Cannot parse URL', 'settings'],
  ]) {
    const words = describeUploadError(raw);
    assert.deepEqual([uploadErrorKind(raw), words.detail], [kind, raw]);
    assert.doesNotMatch(words.message, /curl|WinHttp|HTTP \d|[{}]|Something/, raw);
  }
  const tooLarge = describeUploadError('native_handled');
  assert.deepEqual([tooLarge.retry, tooLarge.calm, tooLarge.detail, describeUploadError('HTTP 401').signIn], [false, true, null, true]);
});

test('progress is shown in the unit of the total', () => {
  assert.deepEqual([[13002342, 157286400], [157286400, 157286400], [0, 2097152], [10240, 500000]].map(([s, t]) => formatProgress(s, t)),
    ['12.4 of 150 MB', '150 of 150 MB', '0 of 2 MB', '10 of 488 KB']);
});

test('documents are grouped by flow, newest first; a path reported again in the run moves up but keeps an envelope', () => {
  let t = 100;
  const store = createDocumentStore({ storage: memoryStorage(), now: () => t++ });
  for (const [path, flow] of [['/o/1.pdf', 'sign_myself'], ['/o/2.pdf', 'request_signature'], ['/o/3.pdf', 'sign_myself'], ['/o/1.pdf', 'sign_myself'], ['/o/x.pdf', '?']]) {
    store.add(path, flow);
  }
  store.applyResult({ path: '/o/3.pdf', envelopeId: 'env_9' });
  store.add('/o/3.pdf', 'sign_myself');
  assert.deepEqual([store.list('sign_myself').map((d) => d.fileName), store.list('request_signature').length, store.get('/o/3.pdf').envelopeId], [['x.pdf', '1.pdf', '3.pdf'], 1, 'env_9']);
});

test('each document has a storage key of its own: the old single list is split, and a reload keeps everything', () => {
  const old = [{ path: '/o/a.pdf', flow: 'sign_myself', fileName: 'a.pdf', envelopeName: 'Offer', reportedAt: 1, status: 'uploading' }, { path: '/o/b.pdf', flow: '?' }];
  const storage = memoryStorage({ [LEGACY_DOCUMENTS_KEY]: JSON.stringify(old), [`${DOCUMENT_KEY_PREFIX}/o/c.pdf`]: '{broken' });
  const first = createDocumentStore({ storage });
  assert.deepEqual([storage.getItem(LEGACY_DOCUMENTS_KEY), first.all().map((d) => [d.path, d.status, d.envelopeName])], [null, [['/o/a.pdf', 'failed', 'Offer']]]);
  assert.equal(first.markUploading('/o/a.pdf'), true, 'an upload cut off by the reload can be retried');
  first.setProgress('/o/a.pdf', 1, 2);
  first.add('/o/d.pdf', 'request_signature');
  const second = createDocumentStore({ storage });
  assert.deepEqual(second.all().map((d) => [d.path, d.status, d.progress]), [['/o/a.pdf', 'failed', undefined], ['/o/d.pdf', 'ready', undefined]]);
  second.remove('/o/d.pdf');
  assert.equal(createDocumentStore({ storage }).all().length, 1);
  second.clear();
  assert.equal(createDocumentStore({ storage }).all().length, 0);
});
