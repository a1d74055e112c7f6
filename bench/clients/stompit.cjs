// One case of the end-to-end comparison with stompit (npm), STOMP 1.0 without
// content-length. Same arguments and output as vqstomp_e2e_bench:
//   node stompit.cjs send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [HOST:PORT]
'use strict';
const stompit = require('stompit');
const { Timer, parseArgs, fail } = require('./common.cjs');

function send(client, { caseName, count, queue }) {
  const bulk = 'x'.repeat(100);
  const timer = new Timer();
  for (let number = 1; number <= count; number++) {
    const last = number === count;
    const options = last ? { onReceipt: () => { timer.report(); client.disconnect(); } } : undefined;
    const frame = client.send({ destination: queue }, options);
    frame.write(caseName === 'send-text' ? `This is test message ${number}` : bulk);
    frame.end();
  }
}

function receive(client, { caseName, count, queue }) {
  const ack = caseName === 'receive-client' ? 'client' : 'auto';
  let received = 0;
  const timer = new Timer();
  client.subscribe({ destination: queue, ack }, (error, message) => {
    if (error) fail(error);
    message.readString('utf-8', (readError) => {
      if (readError) fail(readError);
      if (ack === 'client') client.ack(message);
      if (++received === count) {
        timer.report();
        client.disconnect();
      }
    });
  });
}

const args = parseArgs();
const connectOptions = { host: args.host, port: args.port, connectHeaders: { 'accept-version': '1.0' } };
stompit.connect(connectOptions, (error, client) => {
  if (error) fail(error);
  client.on('error', fail);
  (args.caseName.startsWith('send-') ? send : receive)(client, args);
});
