"""What the kit tells the publisher while it works: a line per stage and counts."""
import sys


def progress(message):
    print(f"fish-kit: {message}", file=sys.stderr, flush=True)


def error(message):
    print(f"fish-kit: error: {message}", file=sys.stderr, flush=True)


def plural(count, word):
    return f"{count} {word}{'' if count == 1 else 's'}"


class Counter:
    """Prints "VERB k of n" about ten times over a run, and at its end."""

    def __init__(self, verb, total):
        self.verb, self.total, self.done, self.said = verb, total, 0, 0
        self.step = max(1, total // 10)

    def tick(self):
        self.done += 1
        if self.done % self.step == 0 or self.done == self.total:
            self.say()

    def say(self):
        self.said = self.done
        progress(f"{self.verb} {self.done} of {self.total}")

    def end(self):
        """The count reached, where items failed and it stopped short of the total."""
        if self.said != self.done or self.done == 0:
            self.say()

    def finish(self, done):
        """The final count, where some items needed no work (an exe already up to date)."""
        if done != self.done:
            self.done = done
            progress(f"{self.verb} {self.done} of {self.total}")
