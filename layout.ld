/* Added to GNU ld's default script (INSERT) for the musl build.

   By default ld gives a static executable four segments: the ELF headers,
   the code, the read-only data, and the writable data. Here read-only data
   joins the headers, and the code is padded to the end of its page so that
   no page of the file is mapped both as code and as data. The hardening is
   the same; the process has one mapping and one page fault fewer at every
   start. */

SECTIONS
{
  .rodata : { *(.rodata .rodata.* .gnu.linkonce.r.*) }
  .eh_frame : { KEEP (*(.eh_frame)) *(.eh_frame.*) }
}
INSERT AFTER .rela.plt;

/* .fini ends the code; the padding inherits its read-and-execute flags. */
SECTIONS
{
  .fini : { KEEP (*(SORT_NONE(.fini))) . = ALIGN(CONSTANT (MAXPAGESIZE)); }
}
INSERT AFTER .text;
