// The GraphQL endpoint: envelope creation through the multipart request
// convention, with each uploaded document arriving as a file already on disk.
import { createSchema, createYoga } from 'graphql-yoga';
import { GraphQLError } from 'graphql';
import { isReceivedUpload } from './multipart.js';

export const FLOW_TYPES = ['SIGN_MYSELF', 'REQUEST_SIGNATURE'];
export const MAX_DOCUMENT_BYTES = 150 * 1024 * 1024;
const MAX_NAME_LENGTH = 200;

const typeDefs = /* GraphQL */ `
  "A file sent as a part of a multipart request."
  scalar Upload

  input AlphaCreateEnvelopeRequest {
    name: String!
    "SIGN_MYSELF or REQUEST_SIGNATURE"
    envelopeFlowType: String!
    documents: [Upload]
  }

  type Envelope {
    id: ID!
    name: String!
    envelopeFlowType: String!
    fileName: String!
    size: Int!
    sha256: String!
    createdAt: String!
  }

  type Query {
    envelopes: [Envelope!]!
    envelope(id: ID!): Envelope
  }

  type Mutation {
    alphaCreateEnvelope(in: AlphaCreateEnvelopeRequest!): Envelope!
  }
`;

function badInput(message) {
  return new GraphQLError(message, { extensions: { code: 'BAD_USER_INPUT' } });
}

function asEnvelope(meta) {
  return meta && { ...meta, envelopeFlowType: meta.flow };
}

export function createGraphqlHandler({ store, log = () => {} }) {
  const resolvers = {
    Upload: {
      parseValue(value) {
        if (isReceivedUpload(value)) return value;
        throw badInput('Documents must be sent as files of a multipart request.');
      },
      parseLiteral() {
        throw badInput('Documents must be sent as files of a multipart request.');
      },
      serialize() {
        throw badInput('Upload is an input type.');
      },
    },
    Query: {
      envelopes: () => store.list().map(asEnvelope),
      envelope: (_, { id }) => asEnvelope(store.get(id)),
    },
    Mutation: {
      alphaCreateEnvelope: async (_, { in: input }) => {
        const name = input.name.trim();
        if (!name) throw badInput('The envelope name must not be empty.');
        if (name.length > MAX_NAME_LENGTH) throw badInput(`The envelope name must be at most ${MAX_NAME_LENGTH} characters.`);
        if (!FLOW_TYPES.includes(input.envelopeFlowType)) {
          throw badInput(`Unknown envelope flow type "${input.envelopeFlowType}". Use ${FLOW_TYPES.join(' or ')}.`);
        }
        const documents = input.documents ?? [];
        if (documents.length !== 1 || !documents[0]) throw badInput('An envelope needs exactly one document.');
        const file = documents[0];
        if (file.size > MAX_DOCUMENT_BYTES) throw badInput('The document is larger than 150 MB.');
        if (file.size === 0) throw badInput('The document is empty.');
        if (!file.head.equals(Buffer.from('%PDF-'))) throw badInput('The document is not a PDF file.');
        try {
          return asEnvelope(store.add({ name, flow: input.envelopeFlowType, fileName: file.fileName || 'document.pdf', upload: file }));
        } catch (e) {
          log(`cannot store an envelope: ${e.message}`);
          throw new GraphQLError(`The service could not store the envelope: ${e.message}`);
        }
      },
    },
  };

  const options = {
    schema: createSchema({ typeDefs, resolvers }),
    graphqlEndpoint: '/graphql',
    graphiql: false,
    landingPage: false,
    logging: false,
    // Multipart requests never reach yoga's own parser, which holds every file in memory.
    multipart: false,
    // Resolver errors carry their message to the client; anything unexpected is masked.
    maskedErrors: true,
  };
  const plain = createYoga(options);
  // A multipart request arrives read (lib/multipart.js), its body limit already applied;
  // its received files are gone before the answer leaves.
  const uploads = createYoga({
    ...options,
    maxRequestBodySize: false,
    plugins: [{
      onRequestParse: ({ serverContext, setRequestParser }) => setRequestParser(() => serverContext.read.params),
      onResponse: ({ serverContext }) => serverContext.read.discard(),
    }],
  });
  return {
    handle: (req, res) => plain(req, res),
    handleRead: (req, res, read) => uploads(req, res, { read }),
  };
}
