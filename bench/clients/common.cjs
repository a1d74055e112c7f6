// What the node clients of the comparison share: arguments, the time-out and the
// measurement of the work itself (wall clock, and CPU of the whole process).
'use strict';

const TIMEOUT_MS = 60000;

class Timer {
  constructor() {
    this.cpu = process.cpuUsage();
    this.start = process.hrtime.bigint();
  }

  report() {
    const elapsed = Number(process.hrtime.bigint() - this.start) / 1e9;
    const cpu = process.cpuUsage(this.cpu);
    const total = (cpu.user + cpu.system) / 1e6;
    console.log(`elapsed=${elapsed.toFixed(6)} cpu=${total.toFixed(6)} user=${(cpu.user / 1e6).toFixed(6)}`);
  }
}

function fail(error) {
  console.error(`Error: ${error && error.message ? error.message : error}`);
  process.exit(1);
}

// CASE COUNT QUEUE [HOST:PORT]; the run fails once the time-out passes.
function parseArgs() {
  const [caseName, count, queue, address = '127.0.0.1:61613'] = process.argv.slice(2);
  const colon = address.lastIndexOf(':');
  setTimeout(() => fail(`${caseName} did not finish within ${TIMEOUT_MS} ms`), TIMEOUT_MS).unref();
  return { caseName, count: Number(count), queue, host: address.slice(0, colon), port: Number(address.slice(colon + 1)) };
}

module.exports = { Timer, parseArgs, fail, LAST_RECEIPT: 'bench-last' };
