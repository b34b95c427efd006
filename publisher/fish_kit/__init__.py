"""The fish kit: the publisher's tool that turns fish folders into checked, signed updaters,
and shipped updaters back into fish folders.

Modules: fish_folder (fish.txt, the checks, the payload a build embeds), artwork (the
resource table's picture, thumbnail and icon forms), resources (an exe's resource table),
building (one fish or a catalogue), signing (Authenticode with RFC 3161 timestamps),
unpacking (an exe back into a fish folder) and cli (the command line).
"""
