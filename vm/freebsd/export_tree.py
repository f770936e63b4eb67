#!/usr/bin/env python3
"""Write one commit of a git repository out as a plain tree, blob by blob.

Blobs that the stored copy lacks become empty files, where `git archive` would
stop at the first one; their paths are printed on standard error.
Usage: export_tree.py GITDIR COMMIT DEST
"""
import os
import subprocess
import sys
import threading


def main():
    gitdir, commit, dest = sys.argv[1:4]
    listing = subprocess.run(
        ["git", "--git-dir", gitdir, "ls-tree", "-r", "-z", "--full-tree", commit],
        check=True, capture_output=True).stdout
    entries = []
    for record in listing.split(b"\0"):
        if not record:
            continue
        meta, path = record.split(b"\t", 1)
        mode, kind, sha = meta.split(b" ")
        if kind == b"blob":
            entries.append((mode, sha, os.path.join(dest.encode(), path)))

    batch = subprocess.Popen(["git", "--git-dir", gitdir, "cat-file", "--batch"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask():
        for _, sha, _ in entries:
            batch.stdin.write(sha + b"\n")
        batch.stdin.close()

    threading.Thread(target=ask, daemon=True).start()
    missing = 0
    for mode, sha, path in entries:
        header = batch.stdout.readline().split()
        body = b""
        if header[-1] == b"missing":
            missing += 1
            print("missing blob:", path.decode(errors="replace"), file=sys.stderr)
        else:
            body = batch.stdout.read(int(header[2]))
            batch.stdout.read(1)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if mode == b"120000":
            os.symlink(body, path)
            continue
        with open(path, "wb") as out:
            out.write(body)
        if mode == b"100755":
            os.chmod(path, 0o755)
    if batch.wait() != 0:
        sys.exit("git cat-file failed")
    print(f"{len(entries)} files, {missing} missing blobs written empty", file=sys.stderr)


if __name__ == "__main__":
    main()
