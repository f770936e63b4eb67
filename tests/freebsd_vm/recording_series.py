"""Turns a recording of tests/freebsd_vm/pressure.sh into promtool input series.

    recording_series.py RECORDING PHASE INSTANCE

prints the input_series of one phase, every scrape a sample 15 s apart (a
missed scrape as "_"), each series labelled job="k" and the given instance.
"""
import re
import sys


def main():
    recording, phase, instance = sys.argv[1:4]
    times, series = [], {}
    for line in open(recording):
        fields = line.split()
        if len(fields) != 4 or fields[1] != phase:
            continue
        t, _, sample, value = fields
        if not times or times[-1] != t:
            times.append(t)
        name, _, labels = sample.partition("{")
        labels = ", ".join(['job="k"', f'instance="{instance}"'] + ([labels.rstrip("}")] if labels else []))
        series.setdefault(f"{name}{{{labels}}}", {})[t] = value
    for name, values in sorted(series.items()):
        samples = [re.sub(r"\.0$", "", values.get(t, "_")) for t in times]
        # Runs of one value in promtool's notation: "v" and then "xN" more.
        runs = []
        for sample in samples:
            if runs and runs[-1][0] == sample:
                runs[-1][1] += 1
            else:
                runs.append([sample, 0])
        text = " ".join(f"{v}x{n}" if n > 1 else " ".join([v] * (n + 1)) for v, n in runs)
        print(f"      - series: '{name}'\n        values: '{text}'")
    print(f"# {len(times)} scrapes", file=sys.stderr)


if __name__ == "__main__":
    main()
