"""End-to-end tests: the plug-in in Debian's real OBS Studio under Xvfb.

Run from the repository root, in a network namespace of their own:
    TESSIL_PLUGIN_DIR=build/qt5/plugin/tessil-link \\
        scripts/in-netns.sh /usr/bin/python3 -m unittest discover -s tests/e2e -t . -v
"""
