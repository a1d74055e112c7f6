"""Turns the measurements of scripts/bench.sh into the markdown report of BENCHMARKS.md.

    report.py MACHINE RESULTS LATENCY TEXT_COUNT TEXT_REPEATS BULK_COUNT

MACHINE holds key=value lines; RESULTS lines "run client case count elapsed_s cpu_s user_s maxrss_kb";
LATENCY the output lines of vqstomp_latency_bench. The cases of vqstomp alone (tls-bulk-send,
tls-bulk-listen, connect, tls-connect) have a section of their own.
"""
import re
import statistics
import sys
from collections import defaultdict

CLIENTS = ["floor", "vqstomp", "stomp.py", "stompit", "stompjs"]
OTHERS = ["stomp.py", "stompit", "stompjs"]
CASES = {
    "text-send": "send {text} text messages",
    "text-receive": "receive {text}, one client ack each",
    "bulk-send": "send {bulk} × 100 B",
    "bulk-listen": "receive {bulk}, listener, auto ack",
    "bulk-receive": "receive {bulk}, `Receive`, client ack each",
}
# Cases of vqstomp over plain TCP beside the same over TLS.
MESSAGE_PAIRS = [("bulk-send", "tls-bulk-send"), ("bulk-listen", "tls-bulk-listen")]
CONNECT_PAIR = ("connect", "tls-connect")


def read_machine(path):
    with open(path) as lines:
        return dict(line.rstrip("\n").split("=", 1) for line in lines if "=" in line)


def read_results(path):
    """The samples of each client and case, and how many runs there were."""
    samples, runs = defaultdict(list), set()
    with open(path) as lines:
        for line in lines:
            run, client, case, count, elapsed, cpu, user, rss = line.split()
            samples[client, case].append((int(count), float(elapsed), float(cpu), float(user), int(rss)))
            runs.add(run)
    return samples, len(runs)


class Figures:
    """Medians over the runs of one client in one case."""

    def __init__(self, runs):
        self.runs = len(runs)
        self.count = runs[0][0]
        self.elapsed_us = statistics.median(elapsed / count * 1e6 for count, elapsed, *_ in runs)
        self.rate = statistics.median(count / elapsed for count, elapsed, *_ in runs)
        self.cpu_us = statistics.median(cpu / count * 1e6 for count, _, cpu, *_ in runs)
        self.user_us = statistics.median(user / count * 1e6 for count, _, _, user, _ in runs)
        self.rss_mib = max(rss for *_, rss in runs) / 1024


def figures(samples):
    return {key: Figures(runs) for key, runs in samples.items() if runs}


def grouped(number):
    return f"{number:,.0f}".replace(",", " ")


def ratio(value, reference):
    return f"{value / reference:.2f}" if value is not None and reference else "–"


def cell(figures, expected, text):
    """The text, followed by how many samples there are when fewer than expected."""
    return text + (f" ({figures.runs}/{expected})" if figures.runs < expected else "")


def table(title, results, cases, expected, metric, unit_format, best):
    """One row per case; the ratios compare vqstomp with the best other client and the floor.
    A cell with fewer samples than the case expects says how many it has."""
    present = [c for c in CLIENTS if any((c, case) in results for case in cases)]
    lines = [f"### {title}", "", "| case | " + " | ".join(present) + " | vqstomp ÷ best other | vqstomp ÷ floor |",
             "|---|" + "---:|" * (len(present) + 2)]
    for case, label in cases.items():
        values = {c: metric(results[c, case]) for c in present if (c, case) in results}
        if not values:
            continue
        cells = []
        for client in present:
            if client not in values:
                cells.append("–")
                continue
            cells.append(cell(results[client, case], expected[case], unit_format(values[client])))
        others = [values[c] for c in OTHERS if c in values]
        lines.append(f"| {label} | " + " | ".join(cells) +
                     f" | {ratio(values.get('vqstomp'), best(others) if others else None)}"
                     f" | {ratio(values.get('vqstomp'), values.get('floor'))} |")
    return lines + [""]


def tls_row(results, runs, label, pair, metric, unit_format):
    found = [results.get(("vqstomp", case)) for case in pair]
    if not any(found):
        return []
    values = [metric(figures) if figures else None for figures in found]
    cells = [cell(figures, runs, unit_format(value)) if figures else "–" for figures, value in zip(found, values)]
    return [f"| {label} | " + " | ".join(cells) + f" | {ratio(values[1], values[0])} |"]


def tls_section(results, runs, labels, machine):
    if not any(("vqstomp", tls) in results for _, tls in MESSAGE_PAIRS + [CONNECT_PAIR]):
        return []
    rows = []
    for pair in MESSAGE_PAIRS:
        rows += tls_row(results, runs, f"{labels[pair[0]]}: msg/s", pair, lambda f: f.rate, grouped)
        rows += tls_row(results, runs, f"{labels[pair[0]]}: CPU µs per message", pair, lambda f: f.cpu_us,
                        lambda v: f"{v:.2f}")
    rows += tls_row(results, runs, "connection: ms each", CONNECT_PAIR, lambda f: f.elapsed_us / 1000,
                    lambda v: f"{v:.2f}")
    rows += tls_row(results, runs, "connection: CPU ms each", CONNECT_PAIR, lambda f: f.cpu_us / 1000,
                    lambda v: f"{v:.3f}")
    connects = [results["vqstomp", case] for case in CONNECT_PAIR if ("vqstomp", case) in results]
    connecting = (f"; and {connects[0].count} connections made one after the other, each `Start` then `Close` "
                  "(TCP connect, TLS handshake, CONNECT, DISCONNECT), after one not counted") if connects else ""
    return ["### TLS beside plain TCP", "",
            "vqstomp alone (the other clients are not asked to speak TLS), in the same runs as the tables above: "
            "the bulk cases again over ActiveMQ's STOMP over TLS port 61614, the broker's certificate and name "
            f"checked against the test CA ({machine.get('tls', 'session unknown')}){connecting}. "
            "CPU is the client's alone, as above: the broker's share of the handshake is not in it. "
            "Medians of the runs; a TLS ÷ plain below 1 in a rate, or above 1 in a time, is what TLS costs.", "",
            "| | plain | TLS | TLS ÷ plain |", "|---|---:|---:|---:|"] + rows + [""]


def latency_section(path):
    with open(path) as lines:
        found = [dict(re.findall(r"(\w+)=([\w.]+)", line)) for line in lines if "median_us" in line]
    if not found:
        return []
    lines = ["### Listener latency (loopback, scripted peer)", "",
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


def main():
    machine_path, results_path, latency_path, text_count, text_repeats, bulk_count = sys.argv[1:7]
    machine = read_machine(machine_path)
    samples, runs = read_results(results_path)
    results = figures(samples)
    labels = {case: label.format(text=text_count, bulk=grouped(int(bulk_count)))
              for case, label in CASES.items()}
    cases = {case: label for case, label in labels.items() if any((c, case) in results for c in CLIENTS)}
    expected = {case: runs * (int(text_repeats) if case.startswith("text-") else 1) for case in cases}
    out = [
        "# Benchmarks",
        "",
        f"Measured by `scripts/bench.sh` on {machine['date']}: {machine['cpu']}, {machine['nproc']} cores, "
        f"{machine['memory']} of memory; {machine['broker']} on loopback, shared by the client and the broker; "
        f"library at commit {machine['commit']}, Release build. Load average {machine['load']} before the run, "
        f"{machine.get('load_after', '?')} after it.",
        "",
        f"Clients: **floor** is a plain socket writing pre-encoded frames (`bench/Floor.cpp`), the least any "
        f"client can do against this broker; **vqstomp** is this library through its public API "
        f"(`bench/EndToEnd.cpp`); stomp.py {machine.get('stomp.py', '?')} (Debian `python3-stomp`), "
        f"stompit {machine.get('stompit', '?')}, @stomp/stompjs {machine.get('stompjs', '?')} over "
        f"@stomp/tcp-wrapper {machine.get('tcp-wrapper', '?')} (`bench/clients/`). All speak STOMP 1.0 and send "
        "no content-length.",
        "",
        "Each case is one process. Time and CPU cover the work itself: a send case runs from the first SEND to "
        "the broker's receipt for the last one, a receive case from the SUBSCRIBE to the last message handled. "
        "CPU is user + system time of the whole client process (all threads, from getrusage or "
        "process.cpuUsage); the kernel splits it into user and system time by sampling, so the user share is rough "
        "for the short text cases. Memory is the process's peak resident set (`/usr/bin/time`), the largest over the runs. "
        f"Figures are medians of {runs} runs, in each of which the short text cases ran {text_repeats} times; "
        "a cell with fewer successful samples than that says how many. Only other "
        "clients count for \"best other\": the highest rate, the lowest CPU time, the least memory.",
        "",
    ]
    if cases:
        out += table("Messages per second (higher is better)", results, cases, expected,
                     lambda f: f.rate, grouped, max)
        out += table("CPU time per message, µs (lower is better)", results, cases, expected,
                     lambda f: f.cpu_us, lambda v: f"{v:.2f}", min)
        out += table("Of that, user-space CPU time per message, µs: the client's own code, the rest being the "
                     "kernel's", results, cases, expected, lambda f: f.user_us, lambda v: f"{v:.2f}", min)
        out += table("Peak memory, MiB (lower is better)", results, cases, expected,
                     lambda f: f.rss_mib, lambda v: f"{v:.1f}", min)
    out += tls_section(results, runs, labels, machine)
    out += latency_section(latency_path)
    print("\n".join(out).rstrip("\n"))


if __name__ == "__main__":
    main()
