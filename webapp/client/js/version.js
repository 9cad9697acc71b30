// The program's version. The build writes this file anew beside the programs with the
// version of the build; this copy serves the page run from the source tree.
export const APP_VERSION = 'development';
