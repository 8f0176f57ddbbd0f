"""The reports hkprune prints, as bytes, for comparing with what a run wrote.

`eol` is the line end of the platform under test: b"\\n" on POSIX, b"\\r\\n" for hkprune.exe
(standard output in text mode).
"""

_TABLE = b"""\
    [-s|--defaultkey]   - Use the default user key values
    [-c|--currentkey]   - Use the current user key values
    [-l|--list]         - List the existing values
    [-d|--delete]       - Delete a value
    [-p|--port <port>]  - The key port
    [-t|--ktyp <type>]  - The key type
    [-v|--verbose]      - Turn on verbose logging (repeat for more detailed logging)
    <hostname>          - The key host name
"""

# The head wraps one column after "usage: <program file name>", so the two names differ.
_HEADS = {
    b"hkprune": b"""\
usage: hkprune -scldv [-s|--defaultkey] [-c|--currentkey] [-l|--list]
               [-d|--delete] [-v|--verbose] [-p|--port <port>]
               [-t|--ktyp <type>] <hostname>
""",
    b"hkprune.exe": b"""\
usage: hkprune.exe -scldv [-s|--defaultkey] [-c|--currentkey] [-l|--list]
                   [-d|--delete] [-v|--verbose] [-p|--port <port>]
                   [-t|--ktyp <type>] <hostname>
""",
}


class Reports:
    def __init__(self, program, eol):
        self.program = program
        self.eol = eol

    def lines(self, *lines):
        return b"".join(line + self.eol for line in lines)

    def usage(self, message=b""):
        text = _HEADS[self.program] + _TABLE
        if message:
            text = b"** ERROR: " + message + b"\n" + text
        return text.replace(b"\n", self.eol)

    def found(self, names):
        return self.lines(b"", b"RESULT:", b"Registry Values Found:", *names)

    def not_found(self):
        return self.lines(b"", b"RESULT:", b"No Registry Values Found.")

    def removed(self, name):
        return self.lines(b"", b"RESULT:", b"Registry Values Removed:", name)


# One log record: time, thread id, two blanks, severity, component, message.
RECORD_HEAD = rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d 0x[0-9a-f]+  "

# Command lines that must fail in the parser, each one that would otherwise delete the value
# rsa2@22:host1; one per class of parse error.
PARSE_ERRORS = [
    ([b"-d", b"-t", b"rsa2", b"-p", b"22", b"-", b"host1"], 'lone "-"'),
    ([b"-d", b"-t", b"rsa2", b"-p", b"22", b"--", b"host1"], 'lone "--"'),
    ([b"-d", b"-t", b"rsa2", b"-p", b"22", b"---d", b"host1"], 'three hyphens'),
    ([b"-d", b"-t", b"rsa2", b"-p", b"22", b"-x", b"host1"], 'unknown letter'),
    ([b"-d", b"-t", b"rsa2", b"-p", b"22", b"--host", b"host1"], 'unknown word'),
    ([b"-d", b"--ktyp=rsa2", b"-p", b"22", b"host1"], 'no "=" form'),
    ([b"-d", b"-t", b"-p", b"22", b"host1"], 'argument missing'),
    ([b"-d", b"-t", b"rsa2", b"-p", b"22", b"host1", b"host2"], 'second parameter'),
    ([b"-d", b"-t", b"rsa2", b"host1", b"-p", b"22"], 'option after parameter'),
]
