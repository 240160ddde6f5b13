#!/usr/bin/perl
# The manual page's DIAGNOSTICS list exactly the messages the daemon can
# log: every format passed to log_message, log_failure and log_debug under
# SRC (and every relay table's debug_format) must be listed, with its
# priority, and every listed message must still be logged.
#   perl man_diagnostics.pl SRC MANUAL_PAGE_SOURCE
# Both sides are reduced to one form: "LOG_ERR cannot open * (*, *)", each
# conversion and each placeholder word of the page a "*"; a string literal
# argument stands in its conversion's place ("cannot %s %s", "open").
use strict;
use warnings;

my ($src, $page) = @ARGV;
die "usage: $0 SRC MANUAL_PAGE_SOURCE\n" unless defined $page;

sub files_under {
    my ($dir) = @_;
    opendir(my $d, $dir) or die "$dir: $!\n";
    my @found;
    for my $entry (sort grep { !/^\./ } readdir $d) {
        my $path = "$dir/$entry";
        push @found, -d $path ? files_under($path) : $path =~ /\.[ch]pp$/ ? ($path) : ();
    }
    return @found;
}

# Arguments of a call, split at the commas outside parentheses and strings.
sub split_arguments {
    my ($text) = @_;
    my (@args, $current, $depth, $quoted);
    ($current, $depth, $quoted) = ('', 0, 0);
    while ($text =~ /\G(\\.|"|[(\[]|[)\]]|,|[^\\"(\[)\],]+)/gs) {
        my $piece = $1;
        if ($quoted) {
            $quoted = 0 if $piece eq '"';
        } elsif ($piece eq '"') {
            $quoted = 1;
        } elsif ($piece =~ /^[(\[]$/) {
            ++$depth;
        } elsif ($piece =~ /^[)\]]$/) {
            --$depth;
        } elsif ($piece eq ',' && $depth == 0) {
            push @args, $current;
            $current = '';
            next;
        }
        $current .= $piece;
    }
    push @args, $current;
    s/^\s+|\s+$//g for @args;
    return @args;
}

sub literal {
    my ($arg) = @_;
    return undef unless $arg =~ /^"((?:[^"\\]|\\.)*)"$/s;
    (my $text = $1) =~ s/\\(.)/$1/g;
    return $text;
}

# A format with its arguments in the common form.
sub reduce_format {
    my ($format, @args) = @_;
    my $out = '';
    for my $piece (split /(%[-+ #0]*[0-9]*(?:\.[0-9*]+)?[hlzjt]*[diusxXcp%])/, $format) {
        if ($piece =~ /^%%$/) {
            $out .= '%';
        } elsif ($piece =~ /^%/) {
            my $arg = shift @args;
            my $text = defined $arg && $piece =~ /s$/ ? literal($arg) : undef;
            $out .= defined $text ? $text : '*';
        } else {
            $out .= $piece;
        }
    }
    return $out;
}

my (%logged, @problems, $opaque, $tables);
for my $file (files_under($src)) {
    open(my $f, '<', $file) or die "$file: $!\n";
    my $code = do { local $/; <$f> };
    close $f;
    $code =~ s{//[^\n]*}{}g;
    next if $file =~ m{/common/log\.[ch]pp$};
    push @problems, "$file calls syslog itself, around the log functions"
        if $code =~ /\bv?syslog\s*\(/;
    while ($code =~ /\b(log_message|log_failure|log_debug)\s*\(((?:[^;"]|"(?:[^"\\]|\\.)*")*?)\)\s*;/gs) {
        my ($function, @args) = ($1, split_arguments($2));
        my $priority = shift @args;
        $priority = 'LOG_DEBUG' if $function eq 'log_debug';    # given its bit of the mask
        shift @args if $function eq 'log_failure';               # the error number
        my $format = literal(shift @args);
        if (!defined $format) {
            $opaque = "$file: $function($priority, ...)";
            next;
        }
        my $message = reduce_format($format, @args);
        $message .= ' (*, *)' if $function eq 'log_failure';
        $logged{"$priority $message"} = 1;
    }
    # The relay's direction table: each format is logged with the chunk's
    # size and text.
    while ($code =~ /\bdebug_format\s*=\s*("(?:[^"\\]|\\.)*")/g) {
        $logged{'LOG_DEBUG ' . reduce_format(literal($1))} = 1;
        $tables = 1;
    }
}
push @problems, "cannot tell what $opaque logs: its format is no string literal"
    if $opaque && !$tables;

open(my $p, '<', $page) or die "$page: $!\n";
my ($inside, %listed) = (0);
while (my $line = <$p>) {
    if ($line =~ /^\.Sh /) {
        $inside = $line =~ /^\.Sh DIAGNOSTICS/;
        next;
    }
    next unless $inside && $line =~ /^\.It Dv (LOG_[A-Z]+) Li "(.*)"\s*$/;
    my ($priority, $text) = ($1, $2);
    $text =~ s/\\\(dq/"/g;
    $text =~ s/\\&//g;
    $text =~ s/\b(DEVICE|SOURCE|DEST|LINK|SLAVE|DIR|DATA|TEXT|N|E|W)\b/*/g;
    $listed{"$priority $text"} = 1;
}
close $p;
push @problems, "the manual page has no DIAGNOSTICS entries" unless %listed;

for my $message (sort keys %logged) {
    push @problems, "logged but not in the manual page: $message" unless $listed{$message};
}
for my $message (sort keys %listed) {
    push @problems, "in the manual page but never logged: $message" unless $logged{$message};
}
if (@problems) {
    print "$_\n" for @problems;
    exit 1;
}
printf "%d messages, each logged and listed\n", scalar keys %logged;
