"""Writes the tarball ansible-galaxy built again with the same bytes from every build of a
commit: ansible-galaxy stamps its entries and gzip header with the time of the build and lists
FILES.json in the order the file system lists the directories. Entries are sorted (MANIFEST.json
and FILES.json first, as ansible-galaxy writes them), stamped with SOURCE_DATE_EPOCH, owned by
root; MANIFEST.json carries the checksum of the sorted FILES.json.

    CollectionArchive.py IN.tar.gz OUT.tar.gz
"""

import gzip
import hashlib
import io
import json
import os
import sys
import tarfile


def main(source, target):
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    with tarfile.open(source, "r:gz") as tar:
        members = [(m, tar.extractfile(m).read() if m.isfile() else None) for m in tar]
    data = {m.name: body for m, body in members}
    files = json.loads(data["FILES.json"])
    files["files"].sort(key=lambda entry: (entry["name"] != ".", entry["name"]))
    data["FILES.json"] = json.dumps(files, indent=True).encode()
    manifest = json.loads(data["MANIFEST.json"])
    manifest["file_manifest_file"]["chksum_sha256"] = hashlib.sha256(data["FILES.json"]).hexdigest()
    data["MANIFEST.json"] = json.dumps(manifest, indent=True).encode()
    first = {"MANIFEST.json": 0, "FILES.json": 1}
    members.sort(key=lambda item: (first.get(item[0].name, 2), item[0].name))
    with open(target, "wb") as out, \
            gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=epoch, compresslevel=9) as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for member, _ in members:
            member.mtime = epoch
            member.uid = member.gid = 0
            member.uname = member.gname = ""
            body = data[member.name]
            if body is not None:
                member.size = len(body)
                tar.addfile(member, io.BytesIO(body))
            else:
                tar.addfile(member)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
