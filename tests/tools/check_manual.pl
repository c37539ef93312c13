#!/usr/bin/perl
# A program's --help and its manual page must say the same: every option line of the help (the option,
# then its description after two spaces or more) is an entry of the manual's OPTIONS with that text as
# its first line, the manual lists no option the help leaves out, and every exit status the help names
# is in the manual's EXIT STATUS.
#   check_manual.pl MANUAL PROGRAM [NAME=VALUE...]   (the assignments make the program's environment)
use strict;
use warnings;

my ($manual, $program, @environment) = @ARGV;
die "usage: check_manual.pl MANUAL PROGRAM [NAME=VALUE...]\n" unless defined $program;
local %ENV = (PATH => '/usr/bin:/bin', map { split /=/, $_, 2 } @environment);
open my $pipe, '-|', $program, '--help' or die "cannot run $program: $!\n";
my (%fromHelp, @exitCodes);
for (<$pipe>) {
    chomp;
    $fromHelp{$1} = $2 if /^  (\S.*?) {2,}(\S.*)$/;
    push @exitCodes, /\b(\d+) [a-z]/g if /^exit status:/i;
}
close $pipe or die "$program --help failed (exit status " . ($? >> 8) . ")\n";
die "$program --help lists no options\n" unless %fromHelp;

# A line of roff as text: font macros join their arguments, escapes become characters.
sub Text {
    my ($line) = @_;
    $line = join '', map { defined $_ ? $_ : () } $line =~ /"([^"]*)"|(\S+)/g
        if $line =~ s/^\.(?:B|I|BI|BR|IR|RB|RI|IB)\s+//;
    $line =~ s/\\f[BIRP]//g;
    $line =~ s/\\-/-/g;
    return $line;
}

open my $file, '<:encoding(UTF-8)', $manual or die "cannot read $manual: $!\n";
my @roff = map { chomp; $_ } <$file>;
my (%fromManual, %statuses, $section);
for my $i (0 .. $#roff - 2) {
    $section = $1 if $roff[$i] =~ /^\.SH\s+"?([^"]*)"?/;
    next unless $roff[$i] eq '.TP';
    $fromManual{Text($roff[$i + 1])} = Text($roff[$i + 2]) if $section eq 'OPTIONS';
    $statuses{Text($roff[$i + 1])} = 1 if $section eq 'EXIT STATUS';
}

my @problems = map {
    !exists $fromManual{$_} ? "the manual has no entry for \"$_\""
    : $fromManual{$_} ne $fromHelp{$_} ? "\"$_\": the help says \"$fromHelp{$_}\", the manual \"$fromManual{$_}\""
    : ()
} sort keys %fromHelp;
push @problems, "the help does not list the manual's \"$_\"" for grep { !exists $fromHelp{$_} } sort keys %fromManual;
push @problems, "the manual's EXIT STATUS lacks $_" for grep { !$statuses{$_} } @exitCodes;
die "$manual and $program --help differ:\n", map { "  $_\n" } @problems if @problems;
printf "%s: %d options and %d exit statuses agree with --help\n", $manual, scalar(keys %fromHelp), scalar(@exitCodes);
