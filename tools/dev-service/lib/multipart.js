// Reads a GraphQL multipart request (the "operations" and "map" parts, then the files)
// straight from the socket, each file part streamed into the incoming folder while its
// size and SHA-256 are taken, so a 150 MB document never sits in memory.
import Busboy from '@fastify/busboy';
import { createHash, randomUUID } from 'node:crypto';
import { createWriteStream, rmSync } from 'node:fs';
import { join } from 'node:path';
import { finished, pipeline } from 'node:stream/promises';

// The largest document (150 MiB) and 1 MiB for the other parts and the framing.
export const MAX_BODY_BYTES = 151 * 1024 * 1024;
const MAX_JSON_PART_BYTES = 1024 * 1024;
const MAX_FILES = 10;

export class RequestError extends Error {
  constructor(message, status = 400) {
    super(message);
    this.status = status;
  }
}

export class RequestAbandoned extends Error {}

// Only records made here count as uploads: a look-alike object in the JSON
// variables must never name a file on disk.
const received = new WeakSet();
export const isReceivedUpload = (value) => received.has(value);

export function isMultipart(req) {
  return (req.headers['content-type'] ?? '').split(';')[0].trim().toLowerCase() === 'multipart/form-data';
}

function tooLarge() {
  return new RequestError(`The request body is larger than ${MAX_BODY_BYTES} bytes (151 MiB), the limit of this service.`, 413);
}

// Resolves once the whole body has been read: the GraphQL parameters with each mapped
// file replaced by its upload record, and discard(), which removes the received files.
// A refusal also waits for the end of the body, so the client is there to read it.
export async function readMultipartRequest(req, incomingDir) {
  const fields = new Map();
  const uploads = new Map();
  const writes = [];
  const paths = [];
  const openFiles = new Set();
  let failure = null;

  let parser = null;
  let parsed;
  const parseEnded = new Promise((resolve) => { parsed = resolve; });

  function stop(error) {
    if (failure) return;
    failure = error;
    if (parser) {
      req.unpipe(parser);
      for (const file of openFiles) file.destroy(error);
      parser.destroy();
    }
    parsed();
    req.resume();
  }

  function receiveFile(name, stream, fileName) {
    if (failure) return stream.resume();
    if (uploads.has(name)) return stop(new RequestError(`The multipart request has two parts named "${name}".`));
    const path = join(incomingDir, `${randomUUID()}.part`);
    const upload = { path, fileName, size: 0, sha256: '', head: Buffer.alloc(0) };
    const hash = createHash('sha256');
    uploads.set(name, upload);
    paths.push(path);
    openFiles.add(stream);
    const measure = async function* (source) {
      for await (const chunk of source) {
        hash.update(chunk);
        upload.size += chunk.length;
        if (upload.head.length < 5) upload.head = Buffer.concat([upload.head, chunk]).subarray(0, 5);
        yield chunk;
      }
    };
    const file = createWriteStream(path, { flags: 'wx', mode: 0o600 });
    // A write cut short still creates its file once the open completes: wait for the close.
    const closed = new Promise((resolve) => file.once('close', resolve));
    writes.push(pipeline(stream, measure, file).then(
      () => { upload.sha256 = hash.digest('hex'); },
      (e) => stop(new RequestError(`The service could not store the uploaded file: ${e.message}`, 500)),
    ).then(() => { openFiles.delete(stream); return closed; }));
  }

  const declared = req.headers['content-length'];
  if (declared !== undefined && Number(declared) > MAX_BODY_BYTES) {
    stop(tooLarge());
  } else {
    try {
      parser = new Busboy({ headers: req.headers, limits: { fieldSize: MAX_JSON_PART_BYTES, files: MAX_FILES } });
    } catch (e) {
      stop(new RequestError(`The multipart request cannot be read: ${e.message}`));
    }
  }
  if (parser) {
    parser.on('field', (name, value, _nameTruncated, valueTruncated) => {
      if (valueTruncated) stop(new RequestError(`The "${name}" part is larger than ${MAX_JSON_PART_BYTES} bytes.`, 413));
      else if (fields.has(name)) stop(new RequestError(`The multipart request has two parts named "${name}".`));
      else fields.set(name, value);
    });
    parser.on('file', receiveFile);
    parser.on('filesLimit', () => stop(new RequestError(`The multipart request carries more than ${MAX_FILES} files.`, 413)));
    parser.on('error', (e) => stop(new RequestError(`The multipart request is malformed: ${e.message}`)));
    parser.on('finish', parsed);
    req.pipe(parser);
    // Counted beside the parser, so a body without a length is cut off as well.
    let bytes = 0;
    req.on('data', (chunk) => {
      bytes += chunk.length;
      if (bytes > MAX_BODY_BYTES) stop(tooLarge());
    });
  }

  try {
    await finished(req);
  } catch {
    stop(new RequestAbandoned('the client closed the connection before the end of its request'));
  }
  await parseEnded;
  await Promise.all(writes);
  const discard = () => paths.forEach((path) => rmSync(path, { force: true }));
  try {
    if (failure) throw failure;
    return { params: graphqlParams(fields, uploads), discard };
  } catch (e) {
    discard();
    throw e;
  }
}

function jsonPart(fields, name) {
  try {
    return JSON.parse(fields.get(name));
  } catch {
    throw new RequestError(`The "${name}" part of the multipart request is not JSON.`);
  }
}

// Puts each file named by "map" at its place in "operations", at a path like
// "variables.in.documents.0" (or "1.variables…" in a batch); the place must exist.
function graphqlParams(fields, uploads) {
  if (!fields.has('operations')) throw new RequestError('The multipart request has no "operations" part.');
  const operations = jsonPart(fields, 'operations');
  const map = fields.has('map') ? jsonPart(fields, 'map') : {};
  if (typeof map !== 'object' || map === null || Array.isArray(map)) throw new RequestError('The "map" part must be a JSON object.');
  for (const [name, targets] of Object.entries(map)) {
    const upload = uploads.get(name);
    if (!upload) throw new RequestError(`The "map" part names the file "${name}", which the request does not carry.`);
    if (!Array.isArray(targets)) throw new RequestError(`The "map" entry of "${name}" must be a list of paths.`);
    received.add(upload);
    for (const target of targets) {
      const keys = String(target).split('.');
      const last = keys.pop();
      let place = operations;
      for (const key of keys) place = place !== null && typeof place === 'object' && Object.hasOwn(place, key) ? place[key] : undefined;
      if (place === null || typeof place !== 'object' || !Object.hasOwn(place, last) || last === '__proto__') {
        throw new RequestError(`The "map" path "${target}" does not lead to a value in "operations".`);
      }
      place[last] = upload;
    }
  }
  return operations;
}
