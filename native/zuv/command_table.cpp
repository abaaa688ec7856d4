// The table of `zuv` subcommands.
#include <array>

#include "zuv/commands.hpp"

namespace zuv::cli {

namespace {

constexpr std::array kCommands = {
    Command{"config-git", "register the merge and diff drivers with git",
            "zuv config-git [--enable | --disable] [--global | --system]\n"
            "\n"
            "Registers (--enable, the default) or removes (--disable) the merge driver\n"
            "`zuv merge-driver`, the diff driver `zuv diff-driver`, the text conversion\n"
            "`zuv textconv`, the mergetools of `zuv resolve`, the difftool of the\n"
            "pages (`git difftool -t zuv`) and the attribute line\n"
            "`*.ipynb merge=zuv diff=zuv`.\n"
            "Without --global or --system it configures the repository in the current\n"
            "directory and its .gitattributes; --global uses the user's configuration\n"
            "and core.attributesFile (else ~/.config/git/attributes); --system the\n"
            "system's.",
            run_config_git},
    Command{"merge-driver", "merge one notebook for git (%O %A %B %L %P)",
            "zuv merge-driver BASE CURRENT INCOMING MARKER_SIZE PATH\n"
            "\n"
            "Merges the changes from BASE to INCOMING into CURRENT, in place, as git's\n"
            "merge driver.  Pipeline notebooks merge cell by cell; any other file is\n"
            "merged line by line as git would.  Every argument is a path or a number.\n"
            "Exit status 0 when clean, 1 when conflicts remain, 3 when the merge or\n"
            "git failed (CURRENT untouched), 143/129 on SIGTERM/SIGHUP.",
            run_merge_driver, true},
    Command{"textconv", "print a notebook as readable text (for git's textconv)",
            "zuv textconv FILE\n"
            "\n"
            "Prints the notebook's parameters, then each cell: a header line with its\n"
            "name, canvas id and parents, its source lines and one summary line per\n"
            "output.",
            run_textconv, true},
    Command{"diff", "show the changes between two notebooks",
            "zuv diff [--color=auto|always|never] [--html OUT] [--exit-code] OLD NEW\n"
            "       zuv diff [--color=...] [--html OUT] [--exit-code] [REV [REV]] [-- PATH...]\n"
            "       zuv diff --markdown [--max-bytes N] [--exit-code] OLD NEW\n"
            "       zuv diff --markdown [--max-bytes N] [--exit-code] [REV [REV]] [-- PATH...]\n"
            "\n"
            "Shows what changed from OLD to NEW: cells added, removed and modified\n"
            "(with a unified diff of the source), parents gained and lost, parameters\n"
            "added, removed and modified.  --html OUT writes a page with the pipeline\n"
            "drawn as a graph instead.  Without two files, compares as `git diff` does\n"
            "every notebook that changed: the work tree against the index, against REV,\n"
            "or two revisions, limited to PATHs (--html: one page, a section per notebook).\n"
            "--markdown prints a review comment instead: per notebook a Mermaid chart\n"
            "of the pipeline's changes, the changed parameters and each changed cell's\n"
            "source diff, cut with a closing line past --max-bytes N (default 65536,\n"
            "GitHub's comment limit; 0: no limit).\n"
            "--difftool LOCAL REMOTE MERGED is `git difftool -t zuv`: the page of each\n"
            "notebook in the git directory's zuv-pages/, its path printed.  Exit status\n"
            "0 (with --exit-code 1 when anything differs), or 2/3 on errors.",
            run_diff},
    Command{"diff-driver", "git's external diff command (7 or 9 arguments)",
            "zuv diff-driver PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE NEW-HEX NEW-MODE\n"
            "                [NEW-PATH RENAME-HEADER]\n"
            "\n"
            "Prints the notebook-aware diff of one file for `git diff`, with git's\n"
            "rename or copy lines and a change of mode.",
            run_diff_driver, true},
    Command{"conflicts", "list what a merge left open in a notebook",
            "zuv conflicts FILE\n"
            "       zuv conflicts --graph BASE CURRENT INCOMING MERGED\n"
            "\n"
            "Lists every conflict in a merged notebook: cells kept twice or marked\n"
            "\"<<< \"/\">>> \", parameters kept twice, source conflict blocks, each with\n"
            "the cell's name and canvas id.  While FILE is unmerged in a git repository\n"
            "git's index stages are read too, to find copies placed without a mark and\n"
            "parent edges the merge lost.  --graph compares the four files given:\n"
            "lost edges and cycles are listed as warnings.  The cell merge's marks\n"
            "(\"# <<<<<<< zuv: ...\", notebook metadata too) are listed as well; a file\n"
            "merged line by line (not JSON) is said to be, with its conflict blocks.\n"
            "Exit status 0 when nothing is open, 1 when conflicts remain, 2 on usage\n"
            "errors, 3 on failure.",
            run_conflicts},
    Command{"show-merge", "draw a merged notebook's pipeline and its conflicts as HTML",
            "zuv show-merge --html OUT FILE\n"
            "\n"
            "Writes a page with the merged pipeline drawn as a graph, conflicting cells\n"
            "highlighted, lost edges marked, and each conflict listed.  Exit status as\n"
            "for `zuv conflicts`.",
            run_show_merge},
    Command{"resolve", "resolve a merged notebook's conflicts in place",
            "zuv resolve FILE (--current | --incoming | --combine) [--cell ID_OR_NAME]...\n"
            "                 [--parameter NAME]... [--all]\n"
            "\n"
            "Keeps the chosen side for the selected conflicts (--all: every one): of\n"
            "two copies of a cell the chosen one stays, with its plain name and the\n"
            "cell's own ids, and parent references follow it; a cell one side deleted\n"
            "stays or goes as the chosen side decided; a parameter kept twice keeps the\n"
            "chosen value; source conflict blocks keep the chosen side's lines.  Of two\n"
            "different cells that claim one name, --all gives the chosen side's the name\n"
            "and keeps the other renamed \"NAME (current)\" or \"NAME (incoming)\"; named\n"
            "with --cell (its name or either canvas id), the other is dropped.  A cell\n"
            "without a canvas id is named by its nbformat id; a notebook metadata\n"
            "conflict takes the chosen side's values.  --combine joins two copies of one\n"
            "cell field by field against the base version (git's index stages): what\n"
            "one side changed is taken, sources both changed go through the line merge;\n"
            "a field both sides changed differently leaves the copies open, named.  A\n"
            "name that selects conflicts of different cells is refused (status 2): give\n"
            "a canvas id.  Without a side or a selector it lists what is open (status\n"
            "2).  A file merged line by line (not JSON) that git has unmerged is\n"
            "replaced by the chosen side's whole file.  Exit status 0 when nothing is\n"
            "left open, 1 when conflicts remain.",
            run_resolve},
    Command{"check", "find what must not be committed in notebooks",
            "zuv check [--] [PATH...]\n"
            "\n"
            "Checks the notebooks given (default: every tracked *.ipynb in and under\n"
            "the current directory) for what must not be committed: conflict marks on\n"
            "cell and parameter names, copies placed by a merge, git conflict blocks in\n"
            "sources or between the JSON lines, parent references to missing cells,\n"
            "cycles, duplicate canvas ids and parameter names, and files that are not\n"
            "JSON or not nbformat 4.  Notebooks without canvas metadata are checked for\n"
            "the format and conflict blocks only.  One line per finding,\n"
            "FILE:CELL (CANVAS ID): WHAT.  Paths starting with \"-\" go after `--`.\n"
            "Exit status 0 when clean, 1 when something was found, 3 when a file could\n"
            "not be read.",
            run_check},
};

}  // namespace

std::span<const Command> command_table() { return kCommands; }

const Command* find_command(const std::string& name) {
  for (const Command& command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

}  // namespace zuv::cli
