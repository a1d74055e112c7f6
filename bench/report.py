"""Turns the measurements of scripts/bench.sh into the markdown report of BENCHMARKS.md.

    report.py MACHINE RESULTS LATENCY [PREVIOUS]

MACHINE holds key=value lines (the machine, the tools, the settings of the runs); RESULTS lines
"run client case count elapsed_s cpu_s user_s maxrss_kb", run 0 being the warm-up; LATENCY the
output lines of vqstomp_latency_bench. The sections of the PREVIOUS report that this script does
not write (figures of other tools) are carried over as they were.

Each figure of a run is the median of that run's repeats; the report gives the median over the
runs, and ratios between two figures are taken run by run before they are summarised.
"""
import re
import statistics
import sys
from collections import defaultdict

CLIENTS = ["floor", "vqstomp", "stomp.py", "stompit", "stompjs", "php-stomp"]
OTHERS = ["stomp.py", "stompit", "stompjs", "php-stomp"]
HEADERS = {"php-stomp": "php-stomp†"}
PHP_NOTE = ("† php-stomp sends content-length on every frame, so its texts reach the broker as bytes messages, "
            "and it has no listener: its listener figure is a `readFrame` loop with auto ack.")
CASES = {
    "text-send": "send {text_count} text messages",
    "text-receive": "receive {text_count}, one client ack each",
    "bulk-send": "send {bulk} × 100 B",
    "bulk-listen": "receive {bulk}, listener, auto ack",
    "bulk-receive": "receive {bulk}, `Receive`, client ack each",
}
# Large case -> body size in MiB, the small case whose memory is its baseline, and the count's setting.
LARGE = {
    "1mib-send": (1, "bulk-send", "mib1_count"),
    "1mib-receive": (1, "bulk-listen", "mib1_count"),
    "16mib-send": (16, "bulk-send", "mib16_count"),
    "16mib-receive": (16, "bulk-listen", "mib16_count"),
}
# Cases of vqstomp over plain TCP beside the same over TLS.
MESSAGE_PAIRS = [("bulk-send", "tls-bulk-send"), ("bulk-listen", "tls-bulk-listen")]
CONNECT_PAIR = ("connect", "tls-connect")
TITLES = {
    "rate": "Messages per second (higher is better)",
    "cpu": "CPU time per message, µs (lower is better)",
    "user": "Of that, user-space CPU time per message, µs: the client's own code, the rest being the kernel's",
    "memory": "Peak memory, MiB (lower is better)",
    "spread": "Noise: max ÷ min over the runs, of msg/s · of CPU per message",
    "large": "Large messages: bytes messages of 1 MiB and 16 MiB",
    "consumers": "Many consumers on one connection",
    "sync": "Synchronous sends and idle heart-beats",
    "tls": "TLS beside plain TCP",
    "reconnect": "Reconnection in a RabbitMQ cluster",
    "latency": "Listener latency (loopback, scripted peer)",
}


def rate(sample):
    return sample["count"] / sample["elapsed"]


def cpu_us(sample):
    return sample["cpu"] / sample["count"] * 1e6


def user_us(sample):
    return sample["user"] / sample["count"] * 1e6


def rss_mib(sample):
    return sample["rss"] / 1024


def elapsed_ms(sample):
    return sample["elapsed"] / sample["count"] * 1e3


def read_machine(path):
    with open(path) as lines:
        return dict(line.rstrip("\n").split("=", 1) for line in lines if "=" in line)


def read_results(path):
    """(client, case) -> run -> the samples of that run's repeats; the warm-up left out."""
    samples = defaultdict(lambda: defaultdict(list))
    with open(path) as lines:
        for line in lines:
            run, client, case, count, elapsed, cpu, user, rss = line.split()
            if run != "0":
                samples[client, case][int(run)].append(
                    {"count": int(count), "elapsed": float(elapsed), "cpu": float(cpu), "user": float(user),
                     "rss": int(rss)})
    return samples


class Results:
    def __init__(self, samples, runs):
        self.samples = samples
        self.runs = runs

    def has(self, client, case):
        return (client, case) in self.samples

    def series(self, client, case, metric):
        """run -> the median of the metric over that run's repeats."""
        by_run = self.samples.get((client, case), {})
        return {run: statistics.median(metric(s) for s in repeats) for run, repeats in by_run.items()}

    def sample_count(self, client, case):
        return sum(len(repeats) for repeats in self.samples.get((client, case), {}).values())

    def count(self, client, case):
        return next(iter(self.samples[client, case].values()))[0]["count"]


def per_run(combine, *series):
    """run -> combine(the series' values in that run), for the runs they all have."""
    runs = set.intersection(*(set(s) for s in series)) if series else set()
    return {run: combine(*(s[run] for s in series)) for run in sorted(runs)}


def best_per_run(all_series, best):
    runs = set().union(*(set(s) for s in all_series)) if all_series else set()
    return {run: best(s[run] for s in all_series if run in s) for run in runs}


def divided(a, b):
    """a ÷ b run by run; a run where b is 0 (CPU time below the clock's grain) has no ratio."""
    return {run: ratio for run, ratio in per_run(lambda x, y: x / y if y else None, a, b).items() if ratio is not None}


def median(series):
    return statistics.median(series.values()) if series else None


def noise(series):
    low = min(series.values()) if series else 0
    return max(series.values()) / low if low else None


def grouped(number):
    return f"{number:,.0f}".replace(",", " ")


def two(number):
    return f"{number:.2f}"


def fixed(digits):
    return lambda number: f"{number:.{digits}f}"


def median_cell(series, unit_format):
    return unit_format(median(series)) if series else "–"


def range_cell(series, unit_format):
    """The median, then the range over the runs."""
    if not series:
        return "–"
    values = series.values()
    return f"{unit_format(median(series))} ({unit_format(min(values))}–{unit_format(max(values))})"


def noise_cell(*series):
    values = [noise(s) for s in series]
    return " · ".join(f"{v:.2f}" if v else "–" for v in values)


def present_clients(results, cases):
    return [c for c in CLIENTS if any(results.has(c, case) for case in cases)]


# --- the comparison of the clients --------------------------------------------------------

def comparison_table(title, results, cases, expected, metric, unit_format, best):
    """One row per case; the ratios compare vqstomp with the best other client, the floor and
    php-stomp run by run: the median ratio, then its range. A cell with fewer samples than the
    case expects says how many it has."""
    present = present_clients(results, cases)
    references = [name for name, wanted in (("best other", set(OTHERS) & set(present)), ("floor", "floor" in present),
                                            ("php-stomp", "php-stomp" in present)) if wanted]
    lines = [f"### {title}", "",
             "| case | " + " | ".join(HEADERS.get(c, c) for c in present) + "".join(
                 f" | vqstomp ÷ {name}" for name in references) + " |",
             "|---|" + "---:|" * (len(present) + len(references))]
    for case, label in cases.items():
        series = {c: results.series(c, case, metric) for c in present if results.has(c, case)}
        cells = [median_cell(series[c], unit_format) + shortfall(results, c, case, expected[case])
                 if c in series else "–" for c in present]
        own = series.get("vqstomp", {})
        others = [series[c] for c in OTHERS if c in series]
        reference_series = {"best other": best_per_run(others, best), "floor": series.get("floor", {}),
                            "php-stomp": series.get("php-stomp", {})}
        cells += [range_cell(divided(own, reference_series[name]), two) for name in references]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return lines + [""]


def shortfall(results, client, case, expected):
    found = results.sample_count(client, case)
    return f" ({found}/{expected})" if found < expected else ""


def noise_table(results, cases):
    present = present_clients(results, cases)
    lines = [f"### {TITLES['spread']}", "",
             "How far apart the runs were: 1.00 is no noise at all, 2.00 a run twice as fast (or as frugal) as "
             "another. The ratios above are taken within each run, which takes out the noise both clients of a "
             "ratio met.", "",
             "| case | " + " | ".join(HEADERS.get(c, c) for c in present) + " |", "|---|" + "---:|" * len(present)]
    for case, label in cases.items():
        cells = [noise_cell(results.series(c, case, rate), results.series(c, case, cpu_us))
                 if results.has(c, case) else "–" for c in present]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return lines + [""]


def comparison(results, labels, settings):
    cases = {case: label for case, label in labels.items() if any(results.has(c, case) for c in CLIENTS)}
    if not cases:
        return []
    expected = {case: results.runs * (settings["text_repeats"] if case.startswith("text-") else 1) for case in cases}
    php = [PHP_NOTE, ""] if any(results.has("php-stomp", case) for case in cases) else []
    out = comparison_table(TITLES["rate"], results, cases, expected, rate, grouped, max) + php
    out += comparison_table(TITLES["cpu"], results, cases, expected, cpu_us, two, min)
    out += comparison_table(TITLES["user"], results, cases, expected, user_us, two, min)
    out += comparison_table(TITLES["memory"], results, cases, expected, rss_mib, fixed(1), min)
    return out + noise_table(results, cases)


# --- the cases of one or two clients ------------------------------------------------------

def large_section(results, settings):
    rows = []
    expected = results.runs * settings["large_repeats"]
    for case, (body_mib, small, count_key) in LARGE.items():
        for client in ("vqstomp", "php-stomp"):
            if not results.has(client, case):
                continue
            rates = results.series(client, case, rate)
            rss = results.series(client, case, rss_mib)
            held = per_run(lambda large, base: (large - base) / body_mib, rss, results.series(client, small, rss_mib))
            label = f"{settings[count_key]} × {body_mib} MiB"
            label = f"send {label}" if case.endswith("-send") else f"receive {label}, listener, auto ack"
            rows.append(f"| {label} | {HEADERS.get(client, client)} "
                        f"| {median_cell(rates, fixed(1))}{shortfall(results, client, case, expected)} "
                        f"| {median_cell(per_run(lambda r: r * body_mib, rates), grouped)} "
                        f"| {median_cell(results.series(client, case, lambda s: cpu_us(s) / 1000), two)} "
                        f"| {median_cell(rss, fixed(1))} | {range_cell(held, fixed(1))} "
                        f"| {noise_cell(rates, results.series(client, case, cpu_us))} |")
    if not rows:
        return []
    return [f"### {TITLES['large']}", "",
            f"Each round trip is run {settings['large_repeats']} times per run (the figure of a run is their median): "
            "the broker's 512 MiB heap holds some 100 MiB of queued bodies safely. **Bodies held** is the peak "
            "memory less that of the same client's 100 B case of the same run (send or listener), in bodies: "
            "the copies of a body the client keeps at once, median (min–max). The receives check every body's "
            "size. Noise is max ÷ min of msg/s · of CPU.", "",
            "| case | client | msg/s | MiB/s | CPU ms per message | peak memory, MiB | bodies held | noise |",
            "|---|---|---:|---:|---:|---:|---:|---:|"] + rows + [""] + (
                [PHP_NOTE, ""] if any("php-stomp" in row for row in rows) else [])


def beside_row(results, label, case, reference, metric, unit_format):
    """vqstomp in a case beside it in a reference case of the same runs, with their ratio."""
    if not results.has("vqstomp", case):
        return []
    own, base = results.series("vqstomp", case, metric), results.series("vqstomp", reference, metric)
    return [f"| {label} | {median_cell(base, unit_format)} | {median_cell(own, unit_format)} "
            f"| {range_cell(divided(own, base), two)} | {noise_cell(base, own)} |"]


def consumers_section(results, settings):
    consumers = settings["consumers"]
    rows = []
    for case, reference, what in (("spread-send", "bulk-send", f"send, round-robin over {consumers} queues"),
                                  ("spread-listen", "bulk-listen", f"receive, {consumers} listeners, auto ack")):
        rows += beside_row(results, f"{what}: CPU µs per message", case, reference, cpu_us, two)
        rows += beside_row(results, f"{what}: msg/s", case, reference, rate, grouped)
    if not rows:
        return []
    return [f"### {TITLES['consumers']}", "",
            f"vqstomp alone: the {grouped(settings['bulk_count'])} bulk messages sent round-robin over {consumers} "
            f"queues, then received by {consumers} consumers (one per queue, each with a listener) on one "
            "connection and session, beside one queue and one consumer (the bulk cases of the same runs). The "
            "consumers subscribe before the receive's time starts. The CPU per message should not grow with the consumers; "
            "the rate is mostly the broker's. Ratios are per run: median (min–max); noise is max ÷ min of the "
            "one queue · of the many.", "",
            "| | one queue | many | many ÷ one | noise |", "|---|---:|---:|---:|---:|"] + rows + [""]


def summary_row(label, series, unit_format):
    if not series:
        return []
    values = series.values()
    return [f"| {label} | {unit_format(median(series))} | {unit_format(min(values))} | {unit_format(max(values))} "
            f"| {noise_cell(series)} |"]


def sync_section(results, settings):
    rows = []
    if results.has("vqstomp", "sync-send"):
        label = f"send {settings['text_count']} texts, each waiting for its receipt"
        rows += summary_row(f"{label}: ms per message", results.series("vqstomp", "sync-send", elapsed_ms), fixed(3))
        rows += summary_row(f"{label}: CPU µs per message", results.series("vqstomp", "sync-send", cpu_us), two)
    if results.has("vqstomp", "idle-heartbeat"):
        rows += summary_row(f"idle for {settings['idle_seconds']} s: CPU ms per idle second",
                            results.series("vqstomp", "idle-heartbeat", lambda s: s["cpu"] / s["count"] * 1e3),
                            fixed(3))
    if not rows:
        return []
    return [f"### {TITLES['sync']}", "",
            "vqstomp alone, STOMP 1.2 with heart-beats 1000,1000 both ways. A synchronous send waits for the "
            "broker's receipt before the next: its time per message is one round trip.", "",
            "| | median | min | max | max ÷ min |", "|---|---:|---:|---:|---:|"] + rows + [""]


def tls_row(results, label, pair, metric, unit_format):
    if not any(results.has("vqstomp", case) for case in pair):
        return []
    plain, tls = (results.series("vqstomp", case, metric) for case in pair)
    return [f"| {label} | {median_cell(plain, unit_format)} | {median_cell(tls, unit_format)} "
            f"| {range_cell(divided(tls, plain), two)} | {noise_cell(plain, tls)} |"]


def tls_section(results, labels, machine):
    if not any(results.has("vqstomp", tls) for _, tls in MESSAGE_PAIRS + [CONNECT_PAIR]):
        return []
    rows = []
    for pair in MESSAGE_PAIRS:
        rows += tls_row(results, f"{labels[pair[0]]}: msg/s", pair, rate, grouped)
        rows += tls_row(results, f"{labels[pair[0]]}: CPU µs per message", pair, cpu_us, two)
    rows += tls_row(results, "connection: ms each", CONNECT_PAIR, elapsed_ms, two)
    rows += tls_row(results, "connection: CPU ms each", CONNECT_PAIR, lambda s: cpu_us(s) / 1000, fixed(3))
    connects = [case for case in CONNECT_PAIR if results.has("vqstomp", case)]
    connecting = (f"; and {results.count('vqstomp', connects[0])} connections made one after the other, each "
                  "`Start` then `Close` (TCP connect, TLS handshake, CONNECT, DISCONNECT), after one not counted"
                  ) if connects else ""
    return [f"### {TITLES['tls']}", "",
            "vqstomp alone (the other clients are not asked to speak TLS), in the same runs as the tables above: "
            "the bulk cases again over ActiveMQ's STOMP over TLS port 61614, the broker's certificate and name "
            f"checked against the test CA ({machine.get('tls', 'session unknown')}){connecting}. "
            "CPU is the client's alone, as above: the broker's share of the handshake is not in it. "
            "Medians of the runs; TLS ÷ plain is taken per run, median (min–max): below 1 in a rate, or above 1 "
            "in a time, it is what TLS costs. Noise is max ÷ min of plain · of TLS.", "",
            "| | plain | TLS | TLS ÷ plain | noise |", "|---|---:|---:|---:|---:|"] + rows + [""]


def reconnect_section(results, machine):
    series = results.series("vqstomp", "reconnect", lambda s: s["elapsed"] * 1e3)
    if not series:
        reason = machine.get("skipped_reconnect")
        return [f"### {TITLES['reconnect']}", "", f"Not measured in this run: {reason}.", ""] if reason else []
    each = ", ".join(f"{series[run]:.0f}" for run in sorted(series))
    return [f"### {TITLES['reconnect']}", "",
            f"vqstomp alone, on {machine.get('cluster', 'RabbitMQ')}: three clustered nodes of `scripts/cluster.sh` "
            "on loopback, the client given all three in its failover list (STOMP 1.2, heart-beats 1000,1000). "
            "Once connected, it has its node killed with SIGKILL by `scripts/cluster.sh kill`, which returns once "
            "the node is dead; the time runs from the start of that command to a message, sent after the "
            "reconnection, coming back to the client's listener through another node (on a topic: a classic "
            "queue dies with its node). The killed node is restarted between runs; an untimed run comes first.",
            "",
            "| runs | median ms | min ms | max ms | max ÷ min | each, ms |", "|---:|---:|---:|---:|---:|---|",
            f"| {len(series)} | {median(series):.0f} | {min(series.values()):.0f} | {max(series.values()):.0f} "
            f"| {noise_cell(series)} | {each} |", ""]


def latency_section(path):
    with open(path) as lines:
        found = [dict(re.findall(r"(\w+)=([\w.]+)", line)) for line in lines if "median_us" in line]
    if not found:
        return []
    lines = [f"### {TITLES['latency']}", "",
             "From just before the peer's `send` of a MESSAGE frame to the start of the listener's call, "
             f"one message at a time, {found[0]['count']} messages per run after 1000 not counted. "
             "**plain** is a thread with no library at all that waits in `poll`, receives and finds the NUL: "
             "the machine's own share, mostly waking a sleeping thread.", "",
             "| run | reader | median µs | 90 % µs | 99 % µs | max µs |", "|---:|---|---:|---:|---:|---:|"]
    runs = defaultdict(int)
    for result in found:
        runs[result["reader"]] += 1
        lines.append(f"| {runs[result['reader']]} | {result['reader']} | {result['median_us']} | {result['p90_us']} "
                     f"| {result['p99_us']} | {result['max_us']} |")
    return lines + [""]


def kept_sections(path):
    """The sections of the previous report under headings this script never writes."""
    try:
        with open(path) as previous:
            text = previous.read()
    except OSError:
        return []
    sections = re.split(r"(?m)^(?=### )", text)[1:]
    own = {f"### {title}" for title in TITLES.values()}
    return [section.rstrip("\n") + "\n" for section in sections if section.splitlines()[0] not in own]


def introduction(machine, settings):
    return [
        "# Benchmarks",
        "",
        f"Measured by `scripts/bench.sh` on {machine['date']}: {machine['cpu']}, {machine['nproc']} cores, "
        f"{machine['memory']} of memory; {machine['broker']} on loopback, shared by the client and the broker; "
        f"library at commit {machine['commit']}, Release build. Load average {machine['load']} before the run, "
        f"{machine.get('load_after', '?')} after it; the whole run took {machine.get('minutes', '?')} minutes.",
        "",
        f"Clients: **floor** is a plain socket writing pre-encoded frames (`bench/Floor.cpp`), the least any "
        f"client can do against this broker; **vqstomp** is this library through its public API "
        f"(`bench/EndToEnd.cpp`); stomp.py {machine.get('stomp.py', '?')} (Debian `python3-stomp`), "
        f"stompit {machine.get('stompit', '?')}, @stomp/stompjs {machine.get('stompjs', '?')} over "
        f"@stomp/tcp-wrapper {machine.get('tcp-wrapper', '?')}, and php-stomp {machine.get('php-stomp', '?')} "
        f"(Debian `php-stomp`, PHP's C extension, on PHP {machine.get('php', '?')}) (`bench/clients/`). All speak "
        "STOMP 1.0 and, but for php-stomp, send no content-length.",
        "",
        "Each case is one process. Time and CPU cover the work itself: a send case runs from the first SEND to "
        "the broker's receipt for the last one, a receive case from the SUBSCRIBE (for the library's listeners, from setting the listener of a consumer just subscribed) to the last message handled. "
        "CPU is user + system time of the whole client process (all threads, from getrusage or "
        "process.cpuUsage); the kernel splits it into user and system time by sampling, so the user share is rough "
        "for the short text cases. Memory is the process's peak resident set (`/usr/bin/time`).",
        "",
        "The method: a Java broker is slow until its JIT has seen the work, and one run on two shared cores can "
        "be twice as fast as the next. So an untimed pass of every case comes first, then "
        f"{settings['runs']} runs, in each of which the clients take turns in an order turned by one place from "
        f"the run before; the short text cases run {settings['text_repeats']} times in a run (the run's figure is "
        "their median). Tables show the median over the runs; a ratio between two clients is taken within each "
        "run, where both met the same broker, and shown as its median and (min–max) over the runs. A cell with "
        "fewer successful samples than expected says how many. Only other clients count for \"best other\": "
        "the highest rate, the lowest CPU time, the least memory.",
        "",
    ]


def main():
    machine_path, results_path, latency_path = sys.argv[1:4]
    machine = read_machine(machine_path)
    settings = {key: int(machine[key]) for key in ("runs", "text_count", "text_repeats", "bulk_count",
                                                   "large_repeats", "idle_seconds", "consumers", "mib1_count",
                                                   "mib16_count")}
    results = Results(read_results(results_path), settings["runs"])
    labels = {case: label.format(text_count=settings["text_count"], bulk=grouped(settings["bulk_count"]))
              for case, label in CASES.items()}
    out = introduction(machine, settings) + comparison(results, labels, settings)
    out += large_section(results, settings)
    out += consumers_section(results, settings)
    out += sync_section(results, settings)
    out += tls_section(results, labels, machine)
    out += reconnect_section(results, machine)
    out += latency_section(latency_path)
    if len(sys.argv) > 4:
        out += kept_sections(sys.argv[4])
    print("\n".join(out).rstrip("\n"))


if __name__ == "__main__":
    main()
