/** @file
  Preprocessor glue for the kit's GNU assembly when it is assembled into a
  PE object (the AArch64 image, linked by lld-link). edk2-stable202211
  declares each assembly function with ELF's .type directive, which a PE
  object cannot hold; later kits leave the directive out for PE targets, and
  so does this glue, included after AutoGen.h.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef KIT_ASSEMBLY_PE_H_
#define KIT_ASSEMBLY_PE_H_

#ifdef GCC_ASM_EXPORT
  #undef GCC_ASM_EXPORT
#define GCC_ASM_EXPORT(func__)  .global ASM_PFX(func__)
#endif

#endif // KIT_ASSEMBLY_PE_H_
