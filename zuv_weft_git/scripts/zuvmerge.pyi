# The command-line merge driver.  Run as the main program (the `zuvmerge`
# command) it parses its options and merges one notebook, leaving `parser`,
# `args` and `destination_path` in the "__main__" module's globals; imported
# under its own name it only binds what it imports.

from zuv_weft_git.drivers import merge_files as merge_files
