<?php
// One case of the end-to-end comparison with PHP's C extension php-stomp (Debian php-stomp),
// STOMP 1.0. It sends content-length with every frame, so its texts arrive as bytes
// messages; it has no listener, so receive-auto is a readFrame loop with auto ack.
// Same arguments and output as vqstomp_e2e_bench:
//   php php_stomp.php send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [HOST:PORT]
//   php php_stomp.php send-1mib|receive-1mib|send-16mib|receive-16mib COUNT QUEUE [HOST:PORT]

const LAST_RECEIPT = 'bench-last';
const TIMEOUT_S = 60;

final class Timer
{
    private array $usage;
    private int $start;

    public function __construct()
    {
        $this->usage = getrusage();
        $this->start = hrtime(true);
    }

    public function report(): void
    {
        $elapsed = (hrtime(true) - $this->start) / 1e9;
        $usage = getrusage();
        $user = self::seconds($usage, 'ru_utime') - self::seconds($this->usage, 'ru_utime');
        $system = self::seconds($usage, 'ru_stime') - self::seconds($this->usage, 'ru_stime');
        printf("elapsed=%.6f cpu=%.6f user=%.6f\n", $elapsed, $user + $system, $user);
    }

    private static function seconds(array $usage, string $field): float
    {
        return $usage["$field.tv_sec"] + $usage["$field.tv_usec"] / 1e6;
    }
}

// The size of every body of a case, null for the numbered texts and the receives that may
// meet either kind.
function body_size(string $case): ?int
{
    if ($case === 'send-bytes') {
        return 100;
    }
    if (str_ends_with($case, '-16mib')) {
        return 16 << 20;
    }
    return str_ends_with($case, '-1mib') ? 1 << 20 : null;
}

// php-stomp waits for the receipt of a SEND that asks for one: the last one does.
function send_messages(Stomp $stomp, string $case, int $count, string $queue): void
{
    $size = body_size($case);
    $fixed = $size === null ? null : str_repeat('x', $size);
    $timer = new Timer();
    for ($number = 1; $number <= $count; $number++) {
        $headers = $number === $count ? ['receipt' => LAST_RECEIPT] : [];
        if (!$stomp->send($queue, $fixed ?? "This is test message $number", $headers)) {
            throw new RuntimeException("send $number failed");
        }
    }
    $timer->report();
}

function receive_messages(Stomp $stomp, string $case, int $count, string $queue): void
{
    $clientAck = $case === 'receive-client';
    $size = body_size($case);
    $wrongBodies = 0;
    $timer = new Timer();
    $stomp->subscribe($queue, ['ack' => $clientAck ? 'client' : 'auto']);
    for ($number = 1; $number <= $count; $number++) {
        $frame = $stomp->readFrame();
        if ($frame === false) {
            throw new RuntimeException("message $number did not arrive within " . TIMEOUT_S . ' s');
        }
        if ($size !== null && strlen($frame->body) !== $size) {
            $wrongBodies++;
        }
        if ($clientAck) {
            $stomp->ack($frame->headers['message-id']);
        }
    }
    if ($wrongBodies > 0) {
        throw new RuntimeException("$wrongBodies bodies were not of $size bytes");
    }
    $timer->report();
}

function main(array $argv): void
{
    [, $case, $count, $queue] = $argv;
    $address = $argv[4] ?? '127.0.0.1:61613';
    $stomp = new Stomp("tcp://$address");
    $stomp->setReadTimeout(TIMEOUT_S);
    if (str_starts_with($case, 'send-')) {
        send_messages($stomp, $case, (int) $count, $queue);
    } else {
        receive_messages($stomp, $case, (int) $count, $queue);
    }
    unset($stomp);
}

try {
    main($argv);
} catch (Throwable $error) {
    fwrite(STDERR, 'Error: ' . $error->getMessage() . "\n");
    exit(1);
}
