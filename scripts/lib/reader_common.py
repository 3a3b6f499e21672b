# Shared by the release reader's parts (scripts/lib/release_reader.py): what
# is wrong with an input, how a value from outside is shown, and how a file is
# read: whole, and only up to a limit.
import re

# The files a release holds are small; anything larger is not one of them.
FILE_LIMIT = 64 * 1024 * 1024
# The roots a signature is judged against when no others are given: Debian's.
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"


class Unreadable(Exception):
    """The input is not what it claims to be: exit status 2."""


def shown(text):
    """Text from a certificate or a file, as a message may show it."""
    return re.sub(r"[^\x20-\x7e]", "?", str(text))[:500]


def bare_fingerprint(text):
    return re.sub(r"[:\s]", "", text).upper()


def read_limited(path, limit=FILE_LIMIT):
    try:
        with open(path, "rb") as handle:
            data = handle.read(limit + 1)
    except OSError as error:
        raise Unreadable("%s: cannot be read (%s)" % (shown(path), error.strerror))
    if len(data) > limit:
        raise Unreadable("%s: larger than %d bytes" % (shown(path), limit))
    return data
