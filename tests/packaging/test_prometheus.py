# The Prometheus side: the scrape configuration, the rules and their unit
# tests through promtool, and the Grafana dashboard's queries.

import json, re, tempfile, yaml
from pathlib import Path

from common import BINARY, PACKAGING, PREFIX, dumped_families, rendered_families, tool

PROMETHEUS = PACKAGING / "prometheus"
RULES = PROMETHEUS / "kelmar-host-perfdata.rules.yml"
RULE_TESTS = PROMETHEUS / "kelmar-host-perfdata.rules.test.yml"
DASHBOARD = PACKAGING / "grafana/kelmar-host-perfdata.json"
METRIC = re.compile(r"\b" + PREFIX + r"_\w+")

families = rendered_families()
# The renderer's list is the one to compare with: it is what --dump writes.
assert dumped_families(tool(BINARY, "--dump")) <= families and len(families) == 23

tool("promtool", "check", "config", "prometheus.yml", cwd=PROMETHEUS)
tool("promtool", "check", "rules", RULES)
tool("promtool", "test", "rules", RULE_TESTS, cwd=PROMETHEUS)

# Every alert has both annotations and a unit test in which it fires, and
# every test has a series that must leave it silent.
rules = [r for g in yaml.safe_load(RULES.read_text())["groups"] for r in g["rules"]]
alerts = {r["alert"]: r for r in rules if "alert" in r}
recorded = {r["record"] for r in rules if "record" in r}
assert len(alerts) == 7, sorted(alerts)
for name, rule in alerts.items():
    assert {"summary", "description"} <= rule["annotations"].keys(), name
fired = {}
for test in yaml.safe_load(RULE_TESTS.read_text())["tests"]:
    series = {s["series"] for s in test["input_series"]}
    for case in test.get("alert_rule_test", []):
        for alert in case.get("exp_alerts", []):
            labels = alert["exp_labels"]
            fired.setdefault(case["alertname"], set()).add(
                (labels.get("instance"), labels.get("device")))
            assert alert["exp_annotations"].keys() == {"summary", "description"}
    silent = [s for s in series
              if not any(f'instance="{i}"' in s and (d is None or f'device="{d}"' in s)
                         for alerted in fired.values() for i, d in alerted)]
    assert silent, f"{test['name']}: no healthy series"
assert fired.keys() == alerts.keys(), sorted(alerts.keys() - fired.keys())

# The dashboard: its variables, and every query, with the variables filled
# in, parsed by promtool as a recording rule.
dashboard = json.loads(DASHBOARD.read_text())
variables = {v["name"]: v for v in dashboard["templating"]["list"]}
assert variables.keys() >= {"datasource", "job", "instance"}
assert variables["datasource"]["query"] == "prometheus"
queries = [t["expr"] for p in dashboard["panels"] for t in p.get("targets", [])]
queries += [re.fullmatch(r"label_values\((.*), \w+\)", variables[v]["definition"])[1]
            for v in ("job", "instance")]
filled = [q.replace("$__rate_interval", "1m").replace("$job", "job").replace("$instance", "host")
          for q in queries]
assert not any("$" in q for q in filled), filled
with tempfile.NamedTemporaryFile("w", suffix=".yml") as generated:
    yaml.safe_dump({"groups": [{"name": "dashboard", "rules": [
        {"record": f"dashboard:query_{i}", "expr": q} for i, q in enumerate(filled)]}]},
        generated)
    generated.flush()
    tool("promtool", "check", "rules", generated.name)

# Dashboard and rules name only families the exporter writes; the dashboard
# shows every one of them but the build information.
shown = {m for q in queries for m in METRIC.findall(q)}
assert shown <= families, shown - families
assert families - shown == {PREFIX + "_build_info"} - shown, families - shown
named = {m for r in rules for m in METRIC.findall(r["expr"])}
assert named <= families | {n.split(":")[1] for n in recorded}, named - families
print(f"{len(alerts)} alerts, {len(recorded)} recording rules, {len(queries)} dashboard queries")
