// One case of the end-to-end comparison with @stomp/stompjs over @stomp/tcp-wrapper (npm),
// STOMP 1.0 without content-length. Same arguments and output as vqstomp_e2e_bench:
//   node stompjs.cjs send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [HOST:PORT]
'use strict';
const { Client, Versions } = require('@stomp/stompjs');
const { TCPWrapper } = require('@stomp/tcp-wrapper');
const { Timer, parseArgs, fail, LAST_RECEIPT } = require('./common.cjs');

function finish(client, timer) {
  timer.report();
  client.deactivate();
}

function send(client, { caseName, count, queue }) {
  const bulk = 'x'.repeat(100);
  const timer = new Timer();
  client.watchForReceipt(LAST_RECEIPT, () => finish(client, timer));
  for (let number = 1; number <= count; number++) {
    const headers = number === count ? { receipt: LAST_RECEIPT } : {};
    const body = caseName === 'send-text' ? `This is test message ${number}` : bulk;
    client.publish({ destination: queue, body, headers, skipContentLengthHeader: true });
  }
}

function receive(client, { caseName, count, queue }) {
  const clientAck = caseName === 'receive-client';
  let received = 0;
  const timer = new Timer();
  client.subscribe(queue, (message) => {
    if (clientAck) message.ack();
    if (++received === count) finish(client, timer);
  }, { ack: clientAck ? 'client' : 'auto' });
}

const args = parseArgs();
const client = new Client({
  webSocketFactory: () => new TCPWrapper(args.host, args.port),
  stompVersions: new Versions([Versions.V1_0]),
  heartbeatIncoming: 0,
  heartbeatOutgoing: 0,
  reconnectDelay: 0,
  debug: () => {},
  onConnect: () => (args.caseName.startsWith('send-') ? send : receive)(client, args),
  onStompError: (frame) => fail(frame.headers.message),
  onWebSocketError: fail,
});
client.activate();
