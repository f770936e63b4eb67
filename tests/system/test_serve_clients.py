"""Real HTTP clients against the serve mode: curl and a Prometheus server."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

BINARY = None
JOB = "kelmar"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def series_of(text):
    """Family names and the (name, labels) of every sample, values left out."""
    families = list(text_string_to_metric_families(text))
    series = {(s.name, tuple(sorted(s.labels.items()))) for f in families for s in f.samples}
    return [f.name for f in families], series


def dump():
    result = subprocess.run([BINARY, "--dump"], capture_output=True, text=True, check=True)
    return result.stdout


class ServingProcess:
    def __init__(self):
        self.port = free_port()
        self.address = "127.0.0.1:{}".format(self.port)
        self.process = subprocess.Popen(
            [BINARY, "-l", self.address], stderr=subprocess.PIPE, text=True
        )
        self.process.stderr.readline()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(5)
        self.process.stderr.close()
        return status


class Curl(unittest.TestCase):
    @unittest.skipIf(shutil.which("curl") is None, "curl is not installed")
    def test_curl_sees_the_families_and_series_of_a_dump(self):
        server = ServingProcess()
        try:
            result = subprocess.run(
                ["curl", "-sS", "--fail", "--max-time", "10", "-D", "-",
                 "http://{}/metrics".format(server.address)],
                capture_output=True,
            )
        finally:
            self.assertEqual(server.stop(), 0)
        self.assertEqual(result.returncode, 0, result.stderr)
        head, _, body = result.stdout.decode().partition("\r\n\r\n")
        self.assertIn("Content-Type: text/plain; version=0.0.4; charset=utf-8", head)
        self.assertEqual(series_of(body), series_of(dump()))


def query(prometheus, expression):
    url = "http://{}/api/v1/query?{}".format(
        prometheus, urllib.parse.urlencode({"query": expression})
    )
    with urllib.request.urlopen(url, timeout=5) as response:
        answer = json.load(response)
    return [(r["metric"], float(r["value"][1])) for r in answer["data"]["result"]]


class PrometheusScrape(unittest.TestCase):
    def setUp(self):
        self.prometheus_binary = shutil.which("prometheus")
        if self.prometheus_binary is None:
            self.skipTest("the prometheus binary (Debian package prometheus) is not installed")
        self.directory = tempfile.mkdtemp(prefix="kelmar-prometheus-")
        self.addCleanup(shutil.rmtree, self.directory, ignore_errors=True)

    def start_prometheus(self, target):
        config = os.path.join(self.directory, "prometheus.yml")
        with open(config, "w") as out:
            out.write(
                "global:\n"
                "  scrape_interval: 1s\n"
                "  scrape_timeout: 1s\n"
                "scrape_configs:\n"
                "  - job_name: {}\n"
                "    static_configs:\n"
                "      - targets: ['{}']\n".format(JOB, target)
            )
        address = "127.0.0.1:{}".format(free_port())
        log = open(os.path.join(self.directory, "prometheus.log"), "w")
        self.addCleanup(log.close)
        process = subprocess.Popen(
            [self.prometheus_binary, "--config.file=" + config,
             "--storage.tsdb.path=" + os.path.join(self.directory, "data"),
             "--web.listen-address=" + address],
            stdout=log, stderr=subprocess.STDOUT,
        )

        def stop():
            process.terminate()
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

        self.addCleanup(stop)
        return address

    def wait_for_scrapes(self, prometheus, scrapes, timeout=60):
        """The up and sample-count results once `scrapes` scrapes have been stored."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                counted = query(prometheus, 'count_over_time(up{{job="{}"}}[1m])'.format(JOB))
                if counted and counted[0][1] >= scrapes:
                    return [
                        query(prometheus, expression.format(JOB))
                        for expression in (
                            'up{{job="{}"}}',
                            'scrape_samples_scraped{{job="{}"}}',
                            'count({{job="{}", __name__!~"up|scrape_.+"}})',
                        )
                    ]
            except OSError:
                pass
            time.sleep(0.5)
        with open(os.path.join(self.directory, "prometheus.log")) as log:
            self.fail("Prometheus stored no scrapes in time; its log:\n" + log.read()[-3000:])

    def test_prometheus_scrapes_every_sample_of_a_dump(self):
        server = ServingProcess()
        try:
            prometheus = self.start_prometheus(server.address)
            up, samples, series = self.wait_for_scrapes(prometheus, 3)
        finally:
            self.assertEqual(server.stop(), 0)
        self.assertEqual([value for _, value in up], [1.0])
        _, dumped = series_of(dump())
        self.assertEqual([value for _, value in samples], [float(len(dumped))])
        self.assertEqual([value for _, value in series], [float(len(dumped))])


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
