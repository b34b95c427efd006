"""The fish kit: the publisher's tool that turns fish folders into checked, signed updaters,
and shipped updaters back into fish folders.

Modules: fish_folder (fish.txt, the checks, the payload a build embeds), artwork (the
resource table's picture, thumbnail and icon forms), resources (an exe's resource table),
files (bounded reads), building (one fish or a catalogue), delivery (exes into a release
folder, and its summary), signing (Authenticode with RFC 3161 timestamps, with a PKCS#12 file
or a key in a PKCS#11 token), token (the check of a token's PIN, key and certificate),
resigning (the sign command), verifying (the release gate), unpacking (an exe back into a
fish folder), preview and sheet (every fish's dialogs and the contact sheet), report (the
lines the kit prints) and cli (the command line).
"""
