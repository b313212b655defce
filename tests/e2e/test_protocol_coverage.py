"""The end-to-end suite uses every command of the link and waits for every
event the plug-in sends, at least once: a command or event added to the
plug-in without a test in real OBS fails here. Names are read from the code
that defines them, as the protocol reference's own check does."""

import glob
import os
import re
import unittest

from . import support

HERE = os.path.dirname(os.path.abspath(__file__))


def source_text(*patterns):
    text = ""
    for pattern in patterns:
        for path in sorted(glob.glob(os.path.join(support.REPO, pattern), recursive=True)):
            with open(path, encoding="utf-8") as f:
                text += f.read()
    return text


def command_names():
    table = source_text("src/server/command_table.cpp")
    table = table[table.index("commandTable()") :]
    # A command's row opens with its name and then its arguments' braces;
    # an argument's row has its type after the name.
    return set(re.findall(r'\{"([a-z]+(?:\.[a-z]+)*)",\s*\{', table))


def event_names():
    code = source_text("src/**/*.cpp")
    return set(
        re.findall(r'\b(?:broadcast|broadcastEvent|queueEvent)\s*\(\s*(?:QStringLiteral\s*\(\s*)?"([a-z.]+)"', code)
    )


def e2e_text():
    own = os.path.abspath(__file__)
    text = ""
    for path in sorted(glob.glob(os.path.join(HERE, "test_*.py"))):
        if os.path.abspath(path) != own:
            with open(path, encoding="utf-8") as f:
                text += f.read()
    return text


class ProtocolCoverage(unittest.TestCase):
    def test_names_were_found(self):
        # A change in how the code spells its tables must not make the
        # checks below pass on nothing.
        self.assertGreaterEqual(len(command_names()), 13)
        self.assertGreaterEqual(len(event_names()), 11)

    def test_every_command_is_sent_in_real_obs(self):
        tests = e2e_text()
        self.assertEqual(sorted(name for name in command_names() if '"%s"' % name not in tests), [])

    def test_every_event_is_awaited_in_real_obs(self):
        tests = e2e_text()
        self.assertEqual(sorted(name for name in event_names() if '"%s"' % name not in tests), [])


if __name__ == "__main__":
    unittest.main()
