"""Waiting for a condition: every wait polls up to a deadline and says what it waited for."""

import time


def eventually(cond, timeout, step=0.1):
    """Polls cond() until it returns something true, and returns that; None at the deadline.
    The condition is tried once more at the deadline, so a slow poll still gets its chance."""
    end = time.monotonic() + timeout
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() >= end:
            return None
        time.sleep(min(step, max(0.0, end - time.monotonic())))


def wait_until(cond, timeout, what, detail=None, step=0.1):
    """Like eventually, but a missed deadline raises TimeoutError naming `what`, followed by
    detail() (the state at that moment) when given."""
    value = eventually(cond, timeout, step)
    if value:
        return value
    message = "%s: not within %.0f s" % (what, timeout)
    if detail is not None:
        message += " (%s)" % detail()
    raise TimeoutError(message)
