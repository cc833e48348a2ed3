import { test } from 'node:test';
import assert from 'node:assert/strict';
import { baseName, defaultEnvelopeName, parseUploadResult, describeUploadError, createDocumentStore, DOCUMENTS_KEY } from '../../ui/js/documents.js';
import { memoryStorage } from './helpers.js';

test('names come from the path, with either kind of separator', () => {
  assert.equal(baseName('C:\\Users\\a\\sign-myself\\3-Lease.pdf'), '3-Lease.pdf');
  assert.equal(baseName('/home/a/out/request-signature/4-It\'s.PDF'), "4-It's.PDF");
  assert.equal(baseName('plain.pdf'), 'plain.pdf');
  assert.equal(defaultEnvelopeName('/o/sign-myself/4-It\'s.PDF'), "4-It's");
  assert.equal(defaultEnvelopeName('/o/sign-myself/.pdf'), 'Printed document');
});

test('upload results are read in both forms; anything else is not a result', () => {
  assert.deepEqual(parseUploadResult('{"path":"/a.pdf","envelopeId":"env_1"}'), { path: '/a.pdf', envelopeId: 'env_1' });
  assert.deepEqual(parseUploadResult('{"path":"C:\\\\a.pdf","error":"HTTP 401"}'), { path: 'C:\\a.pdf', error: 'HTTP 401' });
  assert.deepEqual(parseUploadResult('{"path":"/a.pdf","envelopeId":""}'), { path: '/a.pdf', error: 'Missing envelope id in response' });
  assert.equal(parseUploadResult('not json'), null);
  assert.equal(parseUploadResult('{"envelopeId":"x"}'), null);
});

test('native error texts become words, and say whether a retry can help', () => {
  const tooLarge = describeUploadError('native_handled');
  assert.equal(tooLarge.calm, true);
  assert.equal(tooLarge.retry, false);
  assert.equal(describeUploadError('HTTP 401').signIn, true);
  assert.match(describeUploadError('HTTP 503').message, /error 503/);
  assert.match(describeUploadError('HTTP request failed').message, /could not be reached/);
  assert.match(describeUploadError("curl_easy_perform failed (7): Couldn't connect to server").message, /could not be reached/);
  assert.match(describeUploadError('The document is not a PDF file.').message, /: The document is not a PDF file\.$/);
  assert.match(describeUploadError('Cannot read file').message, /could not be read/);
  for (const e of ['HTTP 401', 'HTTP request failed', 'GraphQL error', 'Empty response']) {
    assert.doesNotMatch(describeUploadError(e).message, /^(HTTP|GraphQL|Empty)/, e);
  }
});

test('documents are grouped by flow, newest first, one entry per path', () => {
  let t = 100;
  const store = createDocumentStore({ storage: memoryStorage(), now: () => t++ });
  store.add('/o/sign-myself/1-a.pdf', 'sign_myself');
  store.add('/o/request-signature/2-b.pdf', 'request_signature');
  store.add('/o/sign-myself/3-c.pdf', 'sign_myself');
  store.add('/o/sign-myself/1-a.pdf', 'sign_myself');
  store.add('/o/elsewhere.pdf', 'something_else');
  assert.deepEqual(store.list('sign_myself').map((d) => d.fileName), ['elsewhere.pdf', '1-a.pdf', '3-c.pdf']);
  assert.deepEqual(store.list('request_signature').map((d) => d.envelopeName), ['2-b']);
  assert.equal(store.all().length, 4);
});

test('an upload runs once at a time and ends in the state its result says', () => {
  const store = createDocumentStore({ storage: memoryStorage() });
  const path = '/o/sign-myself/a.pdf';
  store.add(path, 'sign_myself');
  assert.equal(store.markUploading(path), true);
  assert.equal(store.markUploading(path), false);
  store.setEnvelopeName(path, 'changed while uploading');
  assert.equal(store.get(path).envelopeName, 'a');

  store.applyResult({ path, error: 'HTTP 500' });
  assert.equal(store.get(path).status, 'failed');
  assert.equal(store.get(path).retry, true);
  assert.equal(store.get(path).detail, 'HTTP 500');
  assert.equal(store.markUploading(path), true);
  store.applyResult({ path, envelopeId: 'env_9' });
  assert.equal(store.get(path).status, 'done');
  assert.equal(store.get(path).envelopeId, 'env_9');
  assert.equal(store.markUploading(path), false, 'a finished document is not sent twice');
  store.add(path, 'sign_myself');
  assert.equal(store.get(path).envelopeId, 'env_9', 'a repeated report keeps the envelope');

  store.add('/o/b.pdf', 'sign_myself');
  store.markUploading('/o/b.pdf');
  store.applyResult({ path: '/o/b.pdf', error: 'native_handled' });
  assert.equal(store.get('/o/b.pdf').status, 'too_large');
  assert.equal(store.markUploading('/o/b.pdf'), false);
  assert.equal(store.applyResult({ path: '/o/unknown.pdf', envelopeId: 'x' }), null);
});

test('the list survives a reload; an upload cut off by it can be retried', () => {
  const storage = memoryStorage();
  const first = createDocumentStore({ storage });
  first.add('/o/a.pdf', 'sign_myself');
  first.add('/o/b.pdf', 'request_signature');
  first.setEnvelopeName('/o/b.pdf', 'Offer');
  first.markUploading('/o/a.pdf');
  const second = createDocumentStore({ storage });
  assert.equal(second.get('/o/b.pdf').envelopeName, 'Offer');
  assert.equal(second.get('/o/a.pdf').status, 'failed');
  assert.equal(second.markUploading('/o/a.pdf'), true);
  second.remove('/o/b.pdf');
  assert.equal(createDocumentStore({ storage }).all().length, 1);
  second.clear();
  assert.equal(JSON.parse(storage.getItem(DOCUMENTS_KEY)).length, 0);
  assert.equal(createDocumentStore({ storage: memoryStorage({ [DOCUMENTS_KEY]: '{broken' }) }).all().length, 0);
});
